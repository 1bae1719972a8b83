#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "keys/config_record.h"
#include "keys/main_key_info.h"
#include "keys/path_cache.h"
#include "pool/pager.h"
#include "tree/tree_store.h"
#include "vell/mem_cache.h"
#include "vell/read_write_lock.h"

namespace brindle {

// The database object behind one open database: owns the page pool, the tree store on it
// and the table of main keys (the root's children), each with its own read-write lock.
//
// Locks. A changing call takes the pager's writer gate first (WriterGate), then the locks it
// writes under. The database lock guards the main-key table. A main key's key lock guards
// every node and property below it. A thread holding a key lock may take the database lock;
// no thread takes a key lock while holding the database lock. Creating and deleting a main
// key change the sibling links kept in neighbouring main keys' node pages, and renaming one
// rewrites its name record, so those changes take every main key's lock for writing first
// (in one fixed order) and the database lock last. A batch keeps the write locks it took
// until it ends; once it has changed the table it keeps every main key's lock and the
// database lock, so it never waits for a key lock while holding the database lock.
class CommonTree {
public:
    CommonTree();
    // The close sequence: main-key records, then the tree store and the page pool.
    ~CommonTree();
    CommonTree(const CommonTree&) = delete;
    CommonTree& operator=(const CommonTree&) = delete;

    // Opens the pool on the configuration's data path (creating it when needed), opens or
    // creates the tree and loads the main keys. `config` is not owned and must outlive the
    // object. False on failure; exceptions of the tree store and of loading pass.
    bool Open(ConfigRecord* config);

    // The table's record of that exact name, or null.
    MainKeyInfo* FindMainKey(const std::string& name);
    // Packs the names of the listed main keys into buffer: 32-bit total length, 32-bit
    // count, then each name with its NUL, in byte-wise ascending order. Returns kOk.
    Status GetAllMainKeys(vell::MemCache& buffer, uint32_t& length, uint32_t& count);

    // --- main-key changes; each keeps the tree and the table in step, and each is one
    // write transaction: it happens whole or not at all ---
    // Fills a new main key inside its creation; a result other than kOk undoes the creation.
    using MainKeyFill = std::function<Status(MainKeyInfo* record, uint64_t node)>;
    // Appends a child of the root named `name`, flagged read-only or hidden from mode's
    // MODE_READONLY / MODE_HIDDEN bits, and runs `fill` on it (under every main key's lock)
    // before it is committed. Outputs the record and its node on success. When a fill so
    // large that it committed steps fails, the main key stays with what those steps wrote.
    Status CreateMainKey(const std::string& name, uint32_t mode, MainKeyInfo*& record,
                         uint64_t& node, const MainKeyFill* fill = nullptr);
    // Renames the main key's node and moves its table entry to the new name. kMainKeyGone
    // when the record was dropped before.
    Status RenameMainKey(MainKeyInfo* record, const std::string& new_name);
    // Deletes the main key's node with its subtree and drops its table entry; a deletion
    // that fails changes nothing. kMainKeyGone when the record was dropped before.
    Status DeleteMainKey(MainKeyInfo* record);

    // --- batches: several changing calls of one thread as one unit ---
    // Starts a batch on the calling thread: every changing call this thread makes on the
    // database until EndBatch joins it and commits with it, or not at all. Waits while
    // another thread writes or runs a batch (the writer gate). A failed call inside a batch
    // changes nothing and leaves the batch usable. The write locks of the main keys the batch
    // changes are kept until it ends, so other threads never see its changes before it
    // commits. kOk, or kFailed when this thread runs a batch on the database already.
    Status BeginBatch();
    // Ends the calling thread's batch: commits it (kOk; throws "IOException" after rolling
    // everything back when the journal refuses it) or rolls it back. kFailed when the thread
    // runs no batch.
    Status EndBatch(bool commit);
    // True on the thread that runs a batch on this database.
    bool InBatch() const {
        return batch_thread_.load(std::memory_order_acquire) == std::this_thread::get_id();
    }
    // Inside a batch: keeps the main key's write lock, which the caller holds, until the
    // batch ends. Nothing outside one.
    void RetainForBatch(MainKeyInfo* record);

    // Takes in what other processes committed since this process last looked, so that the
    // call about to start sees the latest committed state: their pages replace this
    // process's copies, the caches over the pages are dropped and the table of main keys
    // follows the tree. One load from shared memory when nothing changed. Every call starts
    // with it (CallScope); the watch thread calls it when woken by a commit. Waits while
    // this process writes. Throws "IOException" when the journal cannot be read.
    void CatchUp();
    // Brackets one call of the exports on the database: catches up first, and keeps this
    // process's snapshot published while the call reads, so that other processes'
    // checkpoints leave the data files it reads alone until it ends. Only the outermost
    // scope of a thread acts.
    class CallScope {
    public:
        explicit CallScope(CommonTree& database);
        ~CallScope();
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;

    private:
        Pager* pool_ = nullptr;
    };
    // True when this process opened the database for reading only: every change is refused
    // with kOpenedReadOnly.
    bool OpenedReadOnly() const { return read_only_; }
    // Why the last Open failed.
    OpenFailure LastOpenFailure() const { return open_failure_; }

    const ConfigRecord* Config() const { return config_; }
    TreeStore* Tree() const { return tree_.get(); }
    // Paths below main keys resolved before (see PathCache).
    PathCache& Paths() { return paths_; }
    Pager* Pool() const { return pool_.get(); }
    // Page number of the root node; 0 while no tree is open.
    uint64_t Root() const { return tree_ ? tree_->RootPage() : 0; }
    vell::ReadWriteLock& DatabaseLock() { return database_lock_; }

private:
    class TableChangeGuard;
    struct BatchState;

    // Inside a batch: keeps every listed main key's lock and the database lock until the
    // batch ends.
    void RetainTableForBatch(const std::vector<MainKeyInfo*>& records);
    // After a batch rolled back: the table of main keys as the tree has them again.
    void ResyncTableWithTree(size_t records_before);
    bool LoadMainKeys();
    bool OpenTree();
    // CatchUp with the writer gate held.
    void CatchUpUnderGate();
    // A new record for the main key whose node is `node`, its flags read from the node page
    // after `set_flags` were added there. Owned by records_.
    MainKeyInfo* MakeRecord(uint64_t node, const std::string& name, uint32_t set_flags,
                            const char* alloc_error);
    // The flag word of the node page's head, after adding `set_flags` to it.
    uint32_t ReadNodeFlags(uint64_t node, uint32_t set_flags);
    // True when the configuration forbids creating or renaming the main key named `name`;
    // the refusal code goes to `result`.
    bool MainKeyChangeDenied(const std::string& name, Status& result) const;
    void DropFromTable(MainKeyInfo* record);

    bool read_only_ = false;
    OpenFailure open_failure_ = OpenFailure::kNone;
    std::unique_ptr<Pager> pool_;
    std::unique_ptr<TreeStore> tree_;
    PathCache paths_;
    ConfigRecord* config_ = nullptr;
    vell::ReadWriteLock database_lock_;
    std::map<std::string, MainKeyInfo*> table_;
    // Every record ever made, in the table or dropped from it; freed only at close so that
    // key handles opened before a deletion stay safe.
    std::vector<std::unique_ptr<MainKeyInfo>> records_;
    // The running batch; only its own thread touches it.
    std::atomic<std::thread::id> batch_thread_{};
    std::unique_ptr<BatchState> batch_;
};

}  // namespace brindle
