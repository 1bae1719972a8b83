#pragma once

// What `brindle sync` remembers between runs: the last etcd revision it applied, and what it
// last saw in etcd of every key it syncs (a digest of the value and its mod_revision, or that
// the key was deleted). A local value that differs from what was seen is a local change not
// yet in etcd; so changes made while the sync was not running are found when it starts.
//
// It lives in the database itself, below the hidden main key "brindle-sync", one key per etcd
// prefix. Applying a revision from etcd and remembering it are therefore one batch: a crash
// leaves both or neither.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "brindle/database.h"

namespace brindle::tool::sync {

constexpr const char* kStateMainKey = "brindle-sync";

struct Seen {
    uint64_t digest = 0;
    int64_t mod_revision = 0;  // of the value; of the deletion when `deleted`
    bool deleted = false;
    std::string stored_as;  // the property that keeps it
};

class SyncState {
public:
    // The state of the sync of `prefix` (the prefix's own key below the hidden main key).
    SyncState(Database& database, const std::string& prefix);

    // Reads the state, creating its keys when missing.
    void Load();
    // Writes what changed since the last Save. Call inside the batch whose changes it records.
    void Save();

    // 0 until the first full reconciliation.
    int64_t Revision() const { return revision_; }
    void SetRevision(int64_t revision);
    // The id of the etcd cluster the revision belongs to (empty until the first
    // reconciliation). A revision of another cluster means nothing.
    const std::string& Cluster() const { return cluster_; }
    void SetCluster(const std::string& cluster);

    // What was seen of `key`, or nullptr when nothing was.
    const Seen* Find(const std::string& key) const;
    // The mod_revision etcd gives `key` as this sync saw it last (0: absent).
    int64_t LiveRevision(const std::string& key) const;
    // True when `value` (nullptr: absent) is what was seen of `key`.
    bool Matches(const std::string& key, const std::string* value) const;
    // Calls `visit` for every key seen that starts with `prefix`, deleted ones included.
    void ForEachUnder(const std::string& prefix,
                      const std::function<void(const std::string&, const Seen&)>& visit) const;

    void Remember(const std::string& key, const std::string& value, int64_t mod_revision);
    void Forget(const std::string& key, int64_t deletion_revision);
    // Remember when `value` is set, else Forget.
    void Record(const std::string& key, const std::optional<std::string>& value, int64_t revision);
    // Forgets everything seen, as before the first reconciliation.
    void Clear();
    // Drops what is remembered of deletions at or before the applied revision: a watch never
    // again reports anything that old.
    void DropOldDeletions();

private:
    std::string NameFor(const std::string& key);
    void Touch(const std::string& key);
    KeyAddress StateKey() const;
    KeyAddress SeenKey() const;

    Database& database_;
    std::string prefix_;
    int64_t revision_ = 0;
    std::string cluster_;
    bool revision_changed_ = false;
    bool cluster_changed_ = false;
    // Kept open: a save is then a few changing calls, with no key looked up by path.
    std::optional<Key> state_key_;
    std::optional<Key> seen_key_;
    std::map<std::string, Seen> seen_;
    std::set<std::string> names_in_use_;
    std::set<std::string> deletions_;  // keys of seen_ that are deletions
    // Properties to write at the next Save: name -> the etcd key it keeps (empty: delete it).
    std::map<std::string, std::string> dirty_;
};

}  // namespace brindle::tool::sync
