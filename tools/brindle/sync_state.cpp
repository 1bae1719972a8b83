#include "brindle/sync_state.h"

#include <cstdio>
#include <cstring>

#include "brindle/sync_mapping.h"
#include "brindle/tool_error.h"

namespace brindle::tool::sync {
namespace {

constexpr const char* kRevisionProperty = "revision";
constexpr const char* kClusterProperty = "cluster";
constexpr const char* kSeenKey = "seen";
// Property names are at most 255 bytes; longer etcd keys are kept under a digest.
constexpr std::size_t kLongestName = 255;

// Stored form, little-endian: mod_revision (8), digest (8), flags (1), then for a key kept
// under a digest the whole etcd key.
constexpr unsigned char kDeletedFlag = 1;
constexpr unsigned char kLongKeyFlag = 2;
constexpr std::size_t kFixedSize = 17;

void PutLittleEndian(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

uint64_t GetLittleEndian(const unsigned char* in) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | in[i];
    }
    return value;
}

// `plain_name`: the property name the key has when it is not kept under a digest.
std::string Encode(const Seen& seen, const std::string& key, const std::string& plain_name) {
    std::string out;
    PutLittleEndian(out, static_cast<uint64_t>(seen.mod_revision));
    PutLittleEndian(out, seen.digest);
    const bool long_key = seen.stored_as != plain_name;
    out += static_cast<char>((seen.deleted ? kDeletedFlag : 0) | (long_key ? kLongKeyFlag : 0));
    if (long_key) {
        out += key;
    }
    return out;
}

}  // namespace

SyncState::SyncState(Database& database, const std::string& prefix)
    : database_(database), prefix_(prefix) {}

KeyAddress SyncState::StateKey() const {
    return KeyAddress({kStateMainKey, "prefix=" + EscapeName(prefix_)});
}

KeyAddress SyncState::SeenKey() const {
    return StateKey().Child(kSeenKey);
}

void SyncState::Load() {
    if (!database_.Exists(KeyAddress({kStateMainKey}))) {
        database_.CreateMainKey(kStateMainKey, true, false);
    }
    database_.CreatePath(SeenKey());
    state_key_.emplace(database_.Open(StateKey()));
    seen_key_.emplace(database_.Open(SeenKey()));
    Key& state = *state_key_;
    if (const std::optional<vell::VariableData> revision = state.Find(kRevisionProperty)) {
        revision_ = revision->GetInt64();
    }
    if (const std::optional<vell::VariableData> cluster = state.Find(kClusterProperty)) {
        const char* text = cluster->GetString();
        cluster_ = text != nullptr ? text : "";
    }
    for (const auto& [name, value] : seen_key_->Properties()) {
        int length = 0;
        if (!value.GetBinary(nullptr, length) || length < static_cast<int>(kFixedSize)) {
            continue;  // not written by this sync; seen as nothing, so re-read from etcd
        }
        std::string bytes(static_cast<std::size_t>(length), '\0');
        value.GetBinary(reinterpret_cast<unsigned char*>(bytes.data()), length);
        const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
        Seen seen;
        seen.mod_revision = static_cast<int64_t>(GetLittleEndian(raw));
        seen.digest = GetLittleEndian(raw + 8);
        seen.deleted = (raw[16] & kDeletedFlag) != 0;
        seen.stored_as = name;
        const std::string key =
            (raw[16] & kLongKeyFlag) != 0 ? bytes.substr(kFixedSize) : prefix_ + "/" + name;
        names_in_use_.insert(name);
        if (seen.deleted) {
            deletions_.insert(key);
        }
        seen_[key] = std::move(seen);
    }
}

void SyncState::Save() {
    if (revision_changed_) {
        state_key_->Set(kRevisionProperty, vell::VariableData(revision_));
        revision_changed_ = false;
    }
    if (cluster_changed_) {
        state_key_->Set(kClusterProperty, vell::VariableData(cluster_.c_str()));
        cluster_changed_ = false;
    }
    Key& seen_key = *seen_key_;
    for (const auto& [name, key] : dirty_) {
        const auto found = key.empty() ? seen_.end() : seen_.find(key);
        if (found == seen_.end()) {
            if (seen_key.HasProperty(name)) {
                seen_key.DeleteProperty(name);
            }
            continue;
        }
        const std::string bytes = Encode(found->second, key, key.substr(prefix_.size() + 1));
        seen_key.Set(name, vell::VariableData(bytes.data(), static_cast<int>(bytes.size())));
    }
    dirty_.clear();
}

void SyncState::SetCluster(const std::string& cluster) {
    if (cluster != cluster_) {
        cluster_ = cluster;
        cluster_changed_ = true;
    }
}

void SyncState::SetRevision(int64_t revision) {
    if (revision != revision_) {
        revision_ = revision;
        revision_changed_ = true;
    }
}

const Seen* SyncState::Find(const std::string& key) const {
    const auto found = seen_.find(key);
    return found == seen_.end() ? nullptr : &found->second;
}

int64_t SyncState::LiveRevision(const std::string& key) const {
    const Seen* seen = Find(key);
    return seen != nullptr && !seen->deleted ? seen->mod_revision : 0;
}

bool SyncState::Matches(const std::string& key, const std::string* value) const {
    const Seen* seen = Find(key);
    const bool present = seen != nullptr && !seen->deleted;
    if (value == nullptr || !present) {
        return (value == nullptr) == !present;
    }
    return seen->digest == DigestOf(*value);
}

void SyncState::ForEachUnder(
    const std::string& prefix,
    const std::function<void(const std::string&, const Seen&)>& visit) const {
    for (auto it = seen_.lower_bound(prefix);
         it != seen_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
        visit(it->first, it->second);
    }
}

std::string SyncState::NameFor(const std::string& key) {
    const std::string plain = key.substr(prefix_.size() + 1);
    if (plain.size() <= kLongestName && !plain.empty() && plain[0] != '#') {
        return plain;
    }
    char digest[20];
    std::snprintf(digest, sizeof digest, "#%016llx",
                  static_cast<unsigned long long>(DigestOf(key)));
    for (int n = 0;; ++n) {
        const std::string name = digest + std::string("-") + std::to_string(n);
        if (names_in_use_.count(name) == 0) {
            return name;
        }
    }
}

void SyncState::Touch(const std::string& key) {
    Seen& seen = seen_[key];
    if (seen.stored_as.empty()) {
        seen.stored_as = NameFor(key);
        names_in_use_.insert(seen.stored_as);
    }
    dirty_[seen.stored_as] = key;
}

void SyncState::Remember(const std::string& key, const std::string& value, int64_t mod_revision) {
    Touch(key);
    Seen& seen = seen_[key];
    seen.digest = DigestOf(value);
    seen.mod_revision = mod_revision;
    seen.deleted = false;
}

void SyncState::Forget(const std::string& key, int64_t deletion_revision) {
    Touch(key);
    Seen& seen = seen_[key];
    seen.digest = 0;
    seen.mod_revision = deletion_revision;
    seen.deleted = true;
    deletions_.insert(key);
}

void SyncState::Clear() {
    for (const auto& [key, seen] : seen_) {
        dirty_[seen.stored_as] = "";
    }
    seen_.clear();
    names_in_use_.clear();
    deletions_.clear();
    SetRevision(0);
}

void SyncState::Record(const std::string& key, const std::optional<std::string>& value,
                       int64_t revision) {
    if (value) {
        Remember(key, *value, revision);
    } else {
        Forget(key, revision);
    }
}

void SyncState::DropOldDeletions() {
    for (auto it = deletions_.begin(); it != deletions_.end();) {
        const auto found = seen_.find(*it);
        if (found == seen_.end() || !found->second.deleted) {
            it = deletions_.erase(it);
        } else if (found->second.mod_revision <= revision_) {
            dirty_[found->second.stored_as] = "";
            names_in_use_.erase(found->second.stored_as);
            seen_.erase(found);
            it = deletions_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace brindle::tool::sync
