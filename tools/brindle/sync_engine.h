#pragma once

// `brindle sync`: keeps main keys of a local database and a prefix of an etcd cluster equal,
// both ways. etcd is the truth between hosts; the local database keeps working without it.
//
// One worker thread does everything that touches the database or pushes to etcd, in order:
// local changes (from the change feed) and etcd's revisions (from a watch thread) wait in one
// queue. A local change is pushed as a transaction conditional on every key's mod_revision
// being what the sync saw last; when etcd moved on meanwhile, etcd's value wins locally and
// the conflict is reported. An etcd revision is applied as one batch together with the state
// that records it (sync_state.h).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "brindle/database.h"
#include "brindle/etcd_client.h"
#include "brindle/json_property.h"
#include "brindle/sync_local.h"
#include "brindle/sync_mapping.h"
#include "brindle/sync_state.h"
#include "brindle_watch.h"

namespace brindle::tool::sync {

struct SyncOptions {
    std::vector<std::string> endpoints;
    std::string prefix;
    std::vector<std::string> main_keys;
    bool from_local = false;
};

// Where status lines go: `event` names the line ("ready", "pushed", ...), `fields` its
// figures, `text` the line for a reader.
using StatusSink =
    std::function<void(const std::string& event, const Json& fields, const std::string& text)>;

struct SyncCounts {
    uint64_t pushed = 0;
    uint64_t applied = 0;
    uint64_t conflicts = 0;
};

class SyncEngine {
public:
    SyncEngine(Database& database, const SyncOptions& options, StatusSink status);
    ~SyncEngine();
    SyncEngine(const SyncEngine&) = delete;
    SyncEngine& operator=(const SyncEngine&) = delete;

    // Runs until Stop: reconciles, then follows both sides, reconnecting after failures.
    void Run();
    // One full reconciliation, then returns. Throws EtcdError when etcd cannot be reached.
    void RunOnce();
    // Ends Run from another thread (or a signal's waiter).
    void Stop();

    SyncCounts Counts() const { return counts_; }

private:
    // A key whose etcd keys a local change may have changed.
    struct Scope {
        std::string main_key;
        std::vector<std::string> path;
        bool recursive = false;
        bool operator<(const Scope& other) const;
    };
    using Item = std::variant<Change, RevisionEvents>;
    // etcd key -> its new value (nullopt: delete it).
    using KeyChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

    // The queue.
    void Enqueue(Item item);
    // Waits up to `wait` for items; takes every item that is there.
    std::deque<Item> TakeItems(std::chrono::milliseconds wait);

    // Connecting: reconcile (fully, or by pushing local changes), then start the watch.
    void Connect();
    void FullReconcile(const std::string& reason);
    // Settles one etcd key from etcd's value `e`, the local one `l` (nullptr: absent) and
    // what was seen: the side that changed wins; when both did, etcd (or, seeding, local).
    void ReconcileKey(const std::string& key, const KeyValue* e, const std::string* l,
                      int64_t revision);
    std::set<Scope> EverySyncedKey() const;
    void StartWatch(int64_t from_revision);
    // Applies the watch's revisions until `revision` is reached.
    void CatchUpTo(int64_t revision);
    void StopWatchThread();
    void WaitBeforeRetry(const std::string& error);

    // Local -> etcd.
    void HandleLocalChanges(const std::vector<Change>& changes);
    void PushScopes(const std::set<Scope>& scopes);
    Mirror ReadScopes(const std::set<Scope>& scopes);
    // Pushes what differs between `local` and what was seen, within `scopes`; false when a
    // condition failed (the caller reads again and retries).
    bool PushDifferences(const std::set<Scope>& scopes, const Mirror& local);
    bool PushChunk(const KeyChanges& changes);
    void SettleFailedChunk(const KeyChanges& changes, const TxnResult& result);
    void Refuse(const std::string& key, const std::optional<std::string>& value,
                const std::string& why);

    // etcd -> local.
    void ApplyRevision(const RevisionEvents& events);
    // Writes `value` at `key` here and remembers it as seen at `revision`; reports a conflict
    // when the local value had changed and differs. False when the database refused.
    bool WriteRemote(const std::string& key, const Place& place,
                     const std::optional<std::string>& value, int64_t revision);
    void Conflict(const Place& place, bool local_kept);
    void ReportUnwritten(const Place& place, const std::string& why);
    // Reports as conflicts the local changes below a key that etcd deletes.
    void ReportChangesBelow(const Place& place);
    bool Synced(const std::string& main_key) const;
    void SaveInBatch(const std::function<void()>& changes);

    void Status(const std::string& event, const Json& fields, const std::string& text);

    Database& database_;
    SyncOptions options_;
    StatusSink status_;
    KeyNaming naming_;
    SyncState state_;
    LocalTree local_;
    EtcdClient client_;
    SyncCounts counts_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> queue_;                  // guarded by mutex_
    std::optional<EtcdError> watch_failure_;  // guarded by mutex_
    bool watch_created_ = false;              // guarded by mutex_
    std::atomic<bool> stopping_{false};
    // While etcd is out of reach local changes are not queued: reconnecting compares every
    // synced key with what was seen, which finds them all.
    std::atomic<bool> offline_{true};

    WatchToken feed_ = 0;
    std::thread watch_thread_;
    bool live_ = false;
    bool needs_full_ = false;
    bool local_wins_ = false;
    bool forget_seen_ = false;  // the next full reconciliation starts from nothing seen
    std::string full_reason_;
    std::chrono::milliseconds backoff_{100};
    std::map<std::string, uint64_t> refused_;  // etcd key -> digest of the value refused
};

}  // namespace brindle::tool::sync
