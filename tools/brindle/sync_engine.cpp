#include "brindle/sync_engine.h"

#include <algorithm>

#include "brindle.h"
#include "brindle/key_operations.h"
#include "brindle/tool_error.h"
#include "brindle_batch.h"

namespace brindle::tool::sync {
namespace {

// etcd refuses transactions of more than 128 operations unless told otherwise, and requests
// over 1.5 MiB.
constexpr std::size_t kMostOperations = 100;
constexpr std::size_t kMostBytes = 1 << 20;
// Written below the prefix when a sync resumes, to learn when its watch has caught up. No
// mapped key is one segment long, so this one is never a place.
constexpr const char* kBarrierKey = ".sync-barrier";
// A push whose conditions keep failing (etcd changing under it) is read and tried again this
// often before the sync waits for the next change.
constexpr int kPushAttempts = 5;
constexpr std::chrono::milliseconds kShortestBackoff{100};
constexpr std::chrono::milliseconds kLongestBackoff{5000};
constexpr std::chrono::seconds kWatchStartLimit{10};
constexpr std::chrono::milliseconds kIdleWait{500};
constexpr std::chrono::seconds kCatchUpLimit{30};

std::size_t Depth(const std::string& key) {
    return std::count(key.begin(), key.end(), '/');
}

// Puts of keys above first, so that a main key is made with its flags before anything below
// it, then deletes.
void OrderForWriting(std::vector<std::pair<std::string, std::optional<std::string>>>& changes) {
    std::stable_sort(changes.begin(), changes.end(), [](const auto& a, const auto& b) {
        if (a.second.has_value() != b.second.has_value()) {
            return a.second.has_value();
        }
        return std::make_pair(Depth(a.first), a.first) < std::make_pair(Depth(b.first), b.first);
    });
}

Json PlaceFields(const Place& place) {
    return Json{{"key", TextToJson(place.KeyPath())},
                {"property", place.IsMarker() ? Json(nullptr) : TextToJson(place.property)}};
}

}  // namespace

bool SyncEngine::Scope::operator<(const Scope& other) const {
    return std::tie(main_key, path, recursive) <
           std::tie(other.main_key, other.path, other.recursive);
}

SyncEngine::SyncEngine(Database& database, const SyncOptions& options, StatusSink status)
    : database_(database),
      options_(options),
      status_(std::move(status)),
      naming_(options.prefix),
      state_(database, naming_.Prefix()),
      local_(database, naming_),
      client_(options.endpoints) {}

SyncEngine::~SyncEngine() {
    Stop();
    StopWatchThread();
    if (feed_ != 0) {
        Unwatch(feed_);
    }
}

void SyncEngine::Status(const std::string& event, const Json& fields, const std::string& text) {
    status_(event, fields, text);
}

bool SyncEngine::Synced(const std::string& main_key) const {
    return std::find(options_.main_keys.begin(), options_.main_keys.end(), main_key) !=
           options_.main_keys.end();
}

void SyncEngine::Enqueue(Item item) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(item));
    }
    wake_.notify_all();
}

std::deque<SyncEngine::Item> SyncEngine::TakeItems(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, wait,
                   [this] { return !queue_.empty() || stopping_ || watch_failure_.has_value(); });
    if (watch_failure_) {
        const EtcdError failure = *watch_failure_;
        watch_failure_.reset();
        throw failure;
    }
    std::deque<Item> items;
    items.swap(queue_);
    return items;
}

void SyncEngine::Stop() {
    stopping_ = true;
    client_.StopWatch();
    wake_.notify_all();
}

// ---- Running ----

void SyncEngine::Run() {
    state_.Load();
    needs_full_ = options_.from_local || state_.Revision() == 0;
    local_wins_ = options_.from_local;
    full_reason_ = options_.from_local ? "from local" : "first sync";
    void* file = database_.FileHandle();
    feed_ = Watch(file, "", "", true, [this](const Change& change) {
        if (!offline_ && (Synced(change.main_key) || change.kind == ChangeKind::kResync)) {
            Enqueue(change);
        }
    });
    if (feed_ == 0) {
        throw ToolError("cannot follow the changes of database '" + database_.Path() + "'");
    }
    while (!stopping_) {
        try {
            if (!live_) {
                Connect();
                live_ = true;
                backoff_ = kShortestBackoff;
            }
            std::vector<Change> changes;
            for (const Item& item : TakeItems(kIdleWait)) {
                if (const Change* change = std::get_if<Change>(&item)) {
                    changes.push_back(*change);
                    continue;
                }
                HandleLocalChanges(changes);
                changes.clear();
                ApplyRevision(std::get<RevisionEvents>(item));
            }
            HandleLocalChanges(changes);
        } catch (const EtcdError& error) {
            live_ = false;
            offline_ = true;
            StopWatchThread();
            if (stopping_) {
                break;
            }
            if (error.Fault() == EtcdFault::kCompacted) {
                needs_full_ = true;
                full_reason_ = "compacted";
                continue;
            }
            WaitBeforeRetry(error.what());
        }
    }
    StopWatchThread();
    SaveInBatch([] {});  // the revision reached, which echoes of its own pushes only moved
}

void SyncEngine::RunOnce() {
    state_.Load();
    local_wins_ = options_.from_local;
    FullReconcile(options_.from_local      ? "from local"
                  : state_.Revision() == 0 ? "first sync"
                                           : "once");
}

void SyncEngine::WaitBeforeRetry(const std::string& error) {
    const double seconds = static_cast<double>(backoff_.count()) / 1000.0;
    Status("offline", Json{{"error", error}, {"retry_in", seconds}},
           "offline: " + error + "; local changes wait; retrying in " +
               std::to_string(backoff_.count()) + " ms");
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, backoff_, [this] { return stopping_.load(); });
    backoff_ = std::min(backoff_ * 2, kLongestBackoff);
}

void SyncEngine::Connect() {
    StopWatchThread();
    offline_ = false;  // before the queue empties: what comes after is read below or queued
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        queue_.clear();
    }
    const auto [cluster, revision] = client_.ClusterAndRevision();
    if (!needs_full_ && (cluster != state_.Cluster() || revision < state_.Revision())) {
        // What was seen belongs to another cluster, or to this one before it lost revisions
        // (restored from a backup): only a full comparison tells what changed where.
        needs_full_ = true;
        full_reason_ = cluster != state_.Cluster() ? "another cluster" : "etcd is behind";
        forget_seen_ = true;
    }
    std::string start = "resume";
    if (needs_full_) {
        FullReconcile(full_reason_);
        needs_full_ = false;
        local_wins_ = false;
        start = "full";
        StartWatch(state_.Revision() + 1);
    } else {
        // etcd's changes since the remembered revision come first. Among them may be pushes
        // of this sync that it did not live to record, and later changes of the same keys by
        // others: only the history tells a value pushed and since deleted from one never
        // pushed. Then what differs here is a local change, and goes to etcd.
        StartWatch(state_.Revision() + 1);
        CatchUpTo(client_.Txn({}, {{naming_.Prefix() + "/" + kBarrierKey, "{}"}}).revision);
        PushScopes(EverySyncedKey());
    }
    Status("ready", Json{{"revision", state_.Revision()}, {"start", start}},
           "in step with etcd at revision " + std::to_string(state_.Revision()) + " (" +
               (start == "full" ? "after a full reconciliation" : "resumed") +
               "); following both sides");
}

void SyncEngine::CatchUpTo(int64_t revision) {
    const auto deadline = std::chrono::steady_clock::now() + kCatchUpLimit;
    while (state_.Revision() < revision && !stopping_) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw EtcdError(EtcdFault::kUnreachable, "the watch did not reach revision " +
                                                         std::to_string(revision) + " in time");
        }
        for (const Item& item : TakeItems(std::chrono::milliseconds(100))) {
            // Local changes are read afresh once caught up; only etcd's count here.
            if (const RevisionEvents* events = std::get_if<RevisionEvents>(&item)) {
                ApplyRevision(*events);
            }
        }
    }
}

void SyncEngine::StartWatch(int64_t from_revision) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        watch_created_ = false;
        watch_failure_.reset();
    }
    client_.ResumeWatches();
    const std::string begin = naming_.Prefix() + "/";
    watch_thread_ = std::thread([this, begin, from_revision] {
        int64_t next = from_revision;
        while (!stopping_) {
            try {
                client_.Watch(
                    begin, RangeEndOf(begin), next,
                    [this] {
                        const std::lock_guard<std::mutex> lock(mutex_);
                        watch_created_ = true;
                        wake_.notify_all();
                    },
                    [this, &next](const RevisionEvents& events) {
                        next = events.revision + 1;
                        Enqueue(events);
                    });
            } catch (const EtcdError& error) {
                const std::lock_guard<std::mutex> lock(mutex_);
                watch_failure_ = error;
                wake_.notify_all();
                return;
            }
            if (client_.WatchStopped()) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, kWatchStartLimit,
                   [this] { return watch_created_ || watch_failure_.has_value() || stopping_; });
    if (watch_failure_) {
        const EtcdError failure = *watch_failure_;
        watch_failure_.reset();
        throw failure;
    }
    if (!watch_created_ && !stopping_) {
        throw EtcdError(EtcdFault::kUnreachable,
                        client_.CurrentEndpoint() + ": the watch was not set up in time");
    }
}

void SyncEngine::StopWatchThread() {
    if (watch_thread_.joinable()) {
        client_.StopWatch();
        watch_thread_.join();
    }
}

// ---- Full reconciliation ----

void SyncEngine::FullReconcile(const std::string& reason) {
    Status("full-reconciliation", Json{{"reason", reason}}, "full reconciliation (" + reason + ")");
    std::map<std::string, KeyValue> remote;
    int64_t revision = 0;
    for (const std::string& main_key : options_.main_keys) {
        const std::string directory = naming_.DirectoryOf(main_key, {});
        std::vector<KeyValue> values;
        const int64_t read = client_.Range(directory, RangeEndOf(directory), revision, values);
        revision = revision == 0 ? read : revision;
        for (KeyValue& value : values) {
            remote[value.key] = std::move(value);
        }
    }
    const std::string cluster = client_.ClusterAndRevision().first;
    SaveInBatch([&] {
        if (forget_seen_) {
            state_.Clear();  // as at a first sync: etcd wins where both have a key
            forget_seen_ = false;
        }
        state_.SetCluster(cluster);
        Mirror local;
        std::set<std::string> keys;
        for (const std::string& main_key : options_.main_keys) {
            local_.Read(main_key, {}, true, local);
            state_.ForEachUnder(naming_.DirectoryOf(main_key, {}),
                                [&keys](const std::string& key, const Seen&) { keys.insert(key); });
        }
        for (const auto& [key, value] : remote) {
            keys.insert(key);
        }
        for (const auto& [key, value] : local) {
            keys.insert(key);
        }
        KeyChanges order;
        for (const std::string& key : keys) {
            order.emplace_back(key,
                               remote.count(key) ? std::optional<std::string>("") : std::nullopt);
        }
        OrderForWriting(order);
        for (const auto& [key, unused] : order) {
            const auto in_etcd = remote.find(key);
            const auto here = local.find(key);
            ReconcileKey(key, in_etcd == remote.end() ? nullptr : &in_etcd->second,
                         here == local.end() ? nullptr : &here->second, revision);
        }
        state_.SetRevision(revision);
        state_.DropOldDeletions();
    });
    PushScopes(EverySyncedKey());
}

void SyncEngine::ReconcileKey(const std::string& key, const KeyValue* e, const std::string* l,
                              int64_t revision) {
    const std::optional<Place> place = naming_.PlaceOf(key);
    if (!place || (e != nullptr && l != nullptr && *l == e->value) ||
        (e == nullptr && l == nullptr)) {
        if (e != nullptr) {
            state_.Remember(key, e->value, e->mod_revision);
        } else if (state_.LiveRevision(key) != 0) {
            state_.Forget(key, revision);
        }
        return;
    }
    const std::optional<std::string> etcd_value =
        e != nullptr ? std::optional<std::string>(e->value) : std::nullopt;
    const int64_t etcd_revision = e != nullptr ? e->mod_revision : revision;
    const bool local_changed = !state_.Matches(key, l);
    const bool remote_changed = (e != nullptr ? e->mod_revision : 0) != state_.LiveRevision(key);
    if (!local_changed) {
        WriteRemote(key, *place, etcd_value, etcd_revision);
        return;
    }
    if (!remote_changed) {
        return;  // a local change etcd has not seen: pushed after the reconciliation
    }
    if (state_.LiveRevision(key) != 0) {
        Conflict(*place, local_wins_);
    }
    if (!local_wins_) {
        WriteRemote(key, *place, etcd_value, etcd_revision);
    } else if (e != nullptr) {
        state_.Remember(key, e->value, e->mod_revision);  // pushed after, over etcd's value
    } else {
        state_.Forget(key, revision);
    }
}

std::set<SyncEngine::Scope> SyncEngine::EverySyncedKey() const {
    std::set<Scope> everything;
    for (const std::string& main_key : options_.main_keys) {
        everything.insert({main_key, {}, true});
    }
    return everything;
}

// ---- Local -> etcd ----

void SyncEngine::HandleLocalChanges(const std::vector<Change>& changes) {
    std::set<Scope> scopes;
    for (const Change& change : changes) {
        if (change.kind == ChangeKind::kResync) {
            for (const std::string& main_key : options_.main_keys) {
                if (change.main_key.empty() || change.main_key == main_key) {
                    scopes.insert({main_key, {}, true});
                }
            }
            continue;
        }
        const KeyAddress address = AddressOf(change);
        std::vector<std::string> path(address.Names().begin() + 1, address.Names().end());
        switch (change.kind) {
            case ChangeKind::kPropertySet:
            case ChangeKind::kPropertyDeleted:
                scopes.insert({change.main_key, path, false});
                break;
            case ChangeKind::kKeyRenamed:
                scopes.insert({change.main_key, path, true});
                if (path.empty()) {
                    break;  // a main key's new name is another main key, synced or not
                }
                path.back() = change.name;
                scopes.insert({change.main_key, path, true});
                break;
            default:
                scopes.insert({change.main_key, path, true});
                break;
        }
    }
    if (!scopes.empty()) {
        PushScopes(scopes);
    }
}

void SyncEngine::PushScopes(const std::set<Scope>& scopes) {
    for (int attempt = 0; attempt < kPushAttempts; ++attempt) {
        if (PushDifferences(scopes, ReadScopes(scopes))) {
            return;
        }
    }
}

Mirror SyncEngine::ReadScopes(const std::set<Scope>& scopes) {
    // A batch keeps other writers out while the scopes are read, so that what is pushed is a
    // state the database really had.
    const Batch batch(database_.FileHandle());
    Mirror local;
    for (const Scope& scope : scopes) {
        local_.Read(scope.main_key, scope.path, scope.recursive, local);
    }
    return local;
}

bool SyncEngine::PushDifferences(const std::set<Scope>& scopes, const Mirror& local) {
    std::map<std::string, std::optional<std::string>> differences;
    for (const Scope& scope : scopes) {
        const std::string directory = naming_.DirectoryOf(scope.main_key, scope.path);
        const auto in_scope = [&](const std::string& key) {
            return scope.recursive || key.find('/', directory.size()) == std::string::npos;
        };
        for (auto it = local.lower_bound(directory);
             it != local.end() && it->first.compare(0, directory.size(), directory) == 0; ++it) {
            if (in_scope(it->first) && !state_.Matches(it->first, &it->second)) {
                differences[it->first] = it->second;
            }
        }
        state_.ForEachUnder(directory, [&](const std::string& key, const Seen& seen) {
            if (!seen.deleted && in_scope(key) && local.count(key) == 0) {
                differences[key] = std::nullopt;
            }
        });
    }
    KeyChanges changes;
    for (auto& [key, value] : differences) {
        const auto refused = refused_.find(key);
        if (refused != refused_.end() && value && refused->second == DigestOf(*value)) {
            continue;  // reported once already; it stays here until it changes
        }
        changes.emplace_back(key, std::move(value));
    }
    OrderForWriting(changes);
    bool all_pushed = true;
    KeyChanges chunk;
    std::size_t bytes = 0;
    for (auto& change : changes) {
        const std::size_t size = change.first.size() + (change.second ? change.second->size() : 0);
        if (!chunk.empty() && (chunk.size() == kMostOperations || bytes + size > kMostBytes)) {
            all_pushed = PushChunk(chunk) && all_pushed;
            chunk.clear();
            bytes = 0;
        }
        chunk.push_back(std::move(change));
        bytes += size;
    }
    if (!chunk.empty()) {
        all_pushed = PushChunk(chunk) && all_pushed;
    }
    return all_pushed;
}

bool SyncEngine::PushChunk(const KeyChanges& changes) {
    std::vector<Condition> conditions;
    std::vector<Operation> operations;
    for (const auto& [key, value] : changes) {
        conditions.push_back({key, state_.LiveRevision(key)});
        operations.push_back({key, value});
    }
    TxnResult result;
    try {
        result = client_.Txn(conditions, operations);
    } catch (const EtcdError& error) {
        if (error.Fault() != EtcdFault::kTooLarge) {
            throw;
        }
        if (changes.size() == 1) {
            const auto& [key, value] = changes.front();
            Refuse(key, value, error.what());
            return true;
        }
        const auto middle = changes.begin() + static_cast<std::ptrdiff_t>(changes.size() / 2);
        const bool first = PushChunk(KeyChanges(changes.begin(), middle));
        const bool second = PushChunk(KeyChanges(middle, changes.end()));
        return first && second;
    }
    if (!result.succeeded) {
        SettleFailedChunk(changes, result);
        return false;
    }
    SaveInBatch([&] {
        for (const auto& [key, value] : changes) {
            state_.Record(key, value, result.revision);
        }
    });
    ++counts_.pushed;
    Status("pushed", Json{{"revision", result.revision}, {"keys", changes.size()}},
           "pushed " + std::to_string(changes.size()) + " change(s) at revision " +
               std::to_string(result.revision));
    return true;
}

void SyncEngine::SettleFailedChunk(const KeyChanges& changes, const TxnResult& result) {
    SaveInBatch([&] {
        for (std::size_t i = 0; i < changes.size() && i < result.current.size(); ++i) {
            const auto& [key, wanted] = changes[i];
            const std::optional<KeyValue>& now = result.current[i];
            const int64_t now_revision = now ? now->mod_revision : 0;
            if (now_revision == state_.LiveRevision(key)) {
                continue;  // its condition held; it goes again with the next attempt
            }
            const std::optional<std::string> etcd_value =
                now ? std::optional<std::string>(now->value) : std::nullopt;
            const int64_t revision = now ? now_revision : result.revision;
            if (etcd_value == wanted) {
                state_.Record(key, etcd_value, revision);  // etcd already has it
                continue;
            }
            const std::optional<Place> place = naming_.PlaceOf(key);
            Conflict(*place, false);
            WriteRemote(key, *place, etcd_value, revision);
        }
    });
}

void SyncEngine::Refuse(const std::string& key, const std::optional<std::string>& value,
                        const std::string& why) {
    const std::size_t bytes = key.size() + (value ? value->size() : 0);
    refused_[key] = value ? DigestOf(*value) : 0;
    const std::optional<Place> place = naming_.PlaceOf(key);
    Json fields = PlaceFields(*place);
    fields["bytes"] = bytes;
    fields["reason"] = why;
    Status("refused", fields,
           "refused: " + place->Describe() + " (" + std::to_string(bytes) +
               " bytes) is larger than etcd takes (" + why + "); it stays in this database only");
}

// ---- etcd -> local ----

void SyncEngine::ApplyRevision(const RevisionEvents& events) {
    std::vector<std::pair<std::size_t, Place>> relevant;
    for (std::size_t i = 0; i < events.puts_and_deletes.size(); ++i) {
        const KeyValue& kv = events.puts_and_deletes[i];
        std::optional<Place> place = naming_.PlaceOf(kv.key);
        const Seen* seen = state_.Find(kv.key);
        if (place && Synced(place->main_key) &&
            (seen == nullptr || seen->mod_revision < events.revision)) {
            relevant.emplace_back(i, std::move(*place));
        }
    }
    state_.SetRevision(events.revision);
    if (relevant.empty()) {
        return;  // an echo of this sync's own push; the revision is saved with the next batch
    }
    SaveInBatch([&] {
        for (const auto& [i, place] : relevant) {
            const KeyValue& kv = events.puts_and_deletes[i];
            const std::optional<std::string> value =
                events.deleted[i] ? std::nullopt : std::optional<std::string>(kv.value);
            if (place.IsMarker() && !value) {
                ReportChangesBelow(place);
            }
            std::optional<std::string> here;
            try {
                local_.Exchange(place, value, here);
            } catch (const ToolError& error) {
                ReportUnwritten(place, error.what());
                continue;
            }
            if (!state_.Matches(kv.key, here ? &*here : nullptr) && here != value) {
                Conflict(place, false);
            }
            state_.Record(kv.key, value, events.revision);
        }
        state_.DropOldDeletions();
    });
    ++counts_.applied;
    Status("applied", Json{{"revision", events.revision}, {"keys", relevant.size()}},
           "applied revision " + std::to_string(events.revision) + " (" +
               std::to_string(relevant.size()) + " change(s))");
}

bool SyncEngine::WriteRemote(const std::string& key, const Place& place,
                             const std::optional<std::string>& value, int64_t revision) {
    try {
        local_.Write(place, value);
    } catch (const ToolError& error) {
        ReportUnwritten(place, error.what());
        return false;
    }
    state_.Record(key, value, revision);
    return true;
}

void SyncEngine::ReportChangesBelow(const Place& place) {
    // The key goes with everything below it; local changes there not yet in etcd are lost
    // to etcd's deletion, which is a conflict like any other, and said so.
    Mirror below;
    local_.Read(place.main_key, place.path, true, below);
    for (const auto& [key, value] : below) {
        const std::optional<Place> changed = naming_.PlaceOf(key);
        if (changed && !changed->IsMarker() && !state_.Matches(key, &value)) {
            Conflict(*changed, false);
        }
    }
}

void SyncEngine::ReportUnwritten(const Place& place, const std::string& why) {
    Json fields = PlaceFields(place);
    fields["reason"] = why;
    Status("refused", fields,
           "refused: " + place.Describe() + " from etcd was not written here: " + why);
}

void SyncEngine::Conflict(const Place& place, bool local_kept) {
    ++counts_.conflicts;
    Json fields = PlaceFields(place);
    fields["conflicts"] = counts_.conflicts;
    fields["kept"] = local_kept ? "local" : "etcd";
    Status("conflict", fields,
           "conflict: " + place.Describe() + " changed here and in etcd; " +
               (local_kept ? "this database's" : "etcd's") + " value kept (" +
               std::to_string(counts_.conflicts) + " conflict(s) so far)");
}

void SyncEngine::SaveInBatch(const std::function<void()>& changes) {
    Batch batch(database_.FileHandle());
    if (batch.Status() != BRN_OK) {
        CheckResult(batch.Status(), "start a batch");
    }
    changes();
    state_.Save();
    CheckResult(batch.Commit(), "commit the sync's batch");
}

}  // namespace brindle::tool::sync
