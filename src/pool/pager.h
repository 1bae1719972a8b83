#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "files/data_file_set.h"
#include "pool/journal.h"
#include "pool/main_head.h"
#include "pool/page.h"
#include "pool/page_allocator.h"
#include "pool/page_cache.h"
#include "pool/page_read_recorder.h"
#include "pool/pool_head.h"
#include "pool/pool_options.h"
#include "pool/shared_state.h"
#include "vell/thread_annotations.h"

namespace brindle {

class WriteTransaction;
class WriterGate;

// The pool's write path and its front door: pages of a database, numbered from 1, kept in a
// set of data files, read through the PageCache, handed out by the PageAllocator, and changed
// only inside write transactions that commit to the journal.
//
// Reading. GetPage pins a page (ReleasePage unpins); ReadResident reads a resident page
// without a pin. Any thread may read at any time.
//
// Changing. Every change of a page is made inside a write transaction (WriteTransaction), and
// one runs at a time. Before a page is first changed (Page::ChangeHead and the like), its
// bytes are kept as its before-image and the transaction pins it; pages that are only read
// cost nothing. At commit the changed pages (enciphered as on disk) and the changed file heads
// go to the journal as one record; at rollback the before-images are copied back, pages added
// by growth are forgotten and files added meanwhile deleted, so memory and disk are as they
// were. A transaction may hold savepoints (nested WriteTransactions, one per call of a
// batch): a failed call rolls back to its savepoint and the batch goes on.
//
// Checkpoints. Committed pages stay pinned in memory until a checkpoint has written them to
// their places in the data files, so nothing is ever read back from a data file older than
// what was committed. A checkpoint runs on the pager's own thread when the journal passes
// checkpoint_bytes, when the database has been idle for a check period, and at close. It
// takes a snapshot of the committed pages under a short lock, then (without holding up
// writers) syncs the journal, writes the pages, syncs the data files and the directory, and
// empties the journal when nothing was committed meanwhile. Records already written to their
// places that stay in the journal are written again by a replay, which does no harm. A writer
// that finds the journal four times past checkpoint_bytes waits for a checkpoint to catch up.
//
// Durability (PoolOptions::durability). The journal is synced before any page of it reaches
// the data files, and the data files (and their directory) before the journal is emptied, at
// every level but `off`, which never syncs. `full` also syncs the journal at each commit:
//   - full: a change whose call returned survives a power cut;
//   - normal: a power cut loses at most the changes committed since the last checkpoint
//     completed, never part of one, and never leaves a database that cannot be opened;
//   - off: survives a killed process, but a power cut may lose recent changes or tear pages.
// A database is created whole or not at all: its first file is written under a temporary
// name, synced, and renamed into place.
//
// Other processes (PoolOptions::access). The journal is the log every process holding the
// pool shares, and "<base>.shared" (SharedState) what they publish: the last commit's number
// and where it ends, the journal's generation, and a slot per reading process. An exclusive
// writer (kExclusive) works as described above and publishes each commit and each emptying
// of the journal. A kShared writer takes the write lock of all processes with the writer
// gate, takes in their commits, appends after them, and checkpoints by writing the
// journal's records to their places and emptying it, all under that lock. A kReadOnly
// process never writes anything of the pool. Both follow the others at the start of every
// call (Behind, then CatchUp under the layers' locks): each new record's pages replace this
// process's copies and are kept as images (read where the data files are older) until the
// journal is emptied. Checkpoints and readers: a process in a call publishes the commit it
// reads at; a checkpoint about to write the pages of commit C waits until no live process
// is in a call on an older commit (readers never wait, a checkpoint waits at most for the
// calls in flight, and gives up after 2 s to come again later). A thread that waits for the
// gate or the write lock steps out of its call meanwhile, so that no two processes can wait
// for each other through a checkpoint. A process that did not read every record before a
// checkpoint emptied the journal reads all its pages afresh and tells the commit observer of
// the gap. The kernel drops the locks of a killed process; what it left in its slot counts
// for nothing once its lock is gone.
//
// Opening replays the journal a process left (complete records are written to the data files
// and synced; a torn last record is dropped silently; a damaged record followed by valid ones
// stops the replay with a diagnostic line, and the journal is kept beside the data files as
// "<base>.journal-damaged"). A read that fails, in a call or while opening, throws
// "IOException" and changes nothing.
class Pager : private PageChangeListener, private PageAllocator::PageSource {
public:
    Pager();
    ~Pager() override;
    Pager(const Pager&) = delete;
    Pager& operator=(const Pager&) = delete;

    // Set before Open.
    PoolOptions& Options() { return options_; }

    // Replays a journal left behind, loads the pool at path (creating it when there is none)
    // and starts the pager's thread. False with a diagnostic line on failure; throws
    // "IOException" when a file cannot be read.
    bool Open(const std::string& path) EXCLUDES(pending_mutex_, thread_mutex_);
    // The close sequence: stops the thread, checkpoints, marks the head closed in order,
    // syncs and removes the journal. Safe to call twice.
    void Close() EXCLUDES(checkpoint_mutex_, pending_mutex_, thread_mutex_);

    // --- page access ---
    // Pins page `number` (1 to PageCount()); null when it is out of range or not a page.
    // Throws "IOException" when the file cannot be read.
    Page* GetPage(uint64_t number);
    template <typename Read>
    bool ReadResident(uint64_t number, Read&& read) {
        PageReadRecorder::Note(number);
        return cache_.ReadResident(number, std::forward<Read>(read));
    }
    // A free page for the running transaction, pinned, its links cleared; null when none.
    Page* NewPage();
    void ReleasePage(Page* page);
    // Puts a pinned page on the free list (inside a transaction) and unpins it.
    void FreePage(Page* page);

    // --- the main head ---
    uint32_t PageSize() const { return MainHead().page_size; }
    uint64_t PageCount() const { return head_.PageCount(); }
    uint32_t FileCount() const { return MainHead().file_count; }
    uint64_t FreeHead() const { return MainHead().free_head; }
    uint64_t FreeTail() const { return allocator_.FreeTail(); }
    PoolHead MainHead() const { return head_.Get(); }
    uint32_t TreeFlags() const { return MainHead().tree_flags; }
    uint64_t FirstQueuePage() const { return MainHead().first_queue_page; }
    // The tree store's anchor in the main head; a change inside a transaction is journaled.
    void SetTreeAnchor(uint32_t tree_flags, uint64_t first_queue_page);

    // --- growth and repair (inside a transaction) ---
    uint64_t AddNewPages(uint64_t count);
    bool InitFreePageList();

    // --- cache introspection ---
    size_t UsedPageCount() const { return cache_.PinnedCount(); }
    uint64_t CachedPageCount() const { return cache_.CachedCount(); }

    // --- write transactions (see WriteTransaction and WriterGate) ---
    // True on the thread that holds the writer gate.
    bool HoldsWriterGate() const {
        return gate_owner_.load(std::memory_order_acquire) == std::this_thread::get_id();
    }
    // True on the thread that runs the transaction.
    bool InTransaction() const;
    // Pages the running transaction holds (0 on other threads).
    size_t TransactionPageCount() const;
    // Writes every committed page to its place and empties the journal (when nothing was
    // committed meanwhile); false (journal kept) when a write or sync fails.
    bool Checkpoint() EXCLUDES(checkpoint_mutex_, pending_mutex_);
    // Bytes in the journal; 0 for a pool without one.
    uint64_t JournalSize() const EXCLUDES(pending_mutex_);
    // Pages committed and not yet written to their places.
    size_t UnwrittenPageCount() const EXCLUDES(pending_mutex_);
    // Called (on the transaction's thread) after every rollback, also to a savepoint, and
    // after CatchUp took in changes it cannot name page by page; null for none. For caches
    // over the pages, which must forget what the rollback undid or another process changed.
    void SetRollbackListener(std::function<void()> listener) {
        rollback_listener_ = std::move(listener);
    }
    // Called after CatchUp took in other processes' commits, with the numbers of the pages
    // they changed (in any order, maybe repeated); without one, the rollback listener is.
    using PagesChangedListener = std::function<void(const std::vector<uint64_t>& pages)>;
    void SetPagesChangedListener(PagesChangedListener listener) {
        pages_changed_listener_ = std::move(listener);
    }
    // --- other processes (see the class comment) ---
    Access GetAccess() const { return options_.access; }
    // Why the last Open failed.
    OpenFailure LastOpenFailure() const { return open_failure_; }
    // A call of the layers above starts and ends: while in a call, this process may read
    // pages of the data files, so checkpoints of other processes wait for it (EnterCall
    // publishes the snapshot it reads at). Nothing for an exclusive writer.
    void EnterCall();
    void LeaveCall();
    // True when another process committed since this one last took in commits: one load
    // from shared memory. Always false for an exclusive writer.
    bool Behind() const {
        return follows_others_ && shared_.Sequence() != applied_.load(std::memory_order_acquire);
    }
    // Takes in what other processes committed: their pages replace this process's copies,
    // their heads its heads; then publishes this process's snapshot mark. The caller holds
    // the writer gate and keeps every reader of pages out (the layers above hold all their
    // locks). True when anything changed (caches over the pages must be dropped). Throws
    // "IOException" when the journal cannot be read.
    bool CatchUp();
    // Called right after a shared writer took the write lock of all processes, before its
    // transaction begins (with the writer gate held): the layers above catch up there.
    void SetWriteLockListener(std::function<void()> listener) {
        write_lock_listener_ = std::move(listener);
    }

    // --- the change feed ---
    // Adds `bytes` to the running transaction's change notes: what the call changed, in the
    // terms of the layers above, kept in its journal record beside the pages (replay skips
    // them). A rollback drops the notes added since the point it rolls back to.
    void AddChangeNote(std::string_view bytes);
    // Told of every commit this process makes and of every commit of another process taken
    // in (CatchUp), in commit order: the record's sequence number and its change notes
    // (empty for none). With `gap` set, commits up to `sequence` were lost to this process
    // (checkpointed before it read them) and `notes` is empty. It runs under the pager's
    // locks, so it must only hand the notes on. Set before any transaction.
    using CommitObserver = std::function<void(uint64_t sequence, std::string_view notes, bool gap)>;
    void SetCommitObserver(CommitObserver observer) { commit_observer_ = std::move(observer); }

    // The sequence number of the last commit of the database, by any process, as far as
    // this process knows without reading anything (one load from shared memory).
    uint64_t LatestSequence() const;
    // Waits until a commit newer than `seen` is published by any process, or `timeout_ms`
    // passes; returns LatestSequence(). Wakes at once on a commit, without polling.
    uint64_t WaitForCommit(uint64_t seen, int timeout_ms);
    // Whether this process follows every commit (a change feed runs): a checkpoint of any
    // process then gives it a moment to read the records it has not read before the journal
    // is emptied, so that a short-lived writer's changes reach it as notes, not as a gap.
    void SetFollowing(bool following) { shared_.SetFollowing(following); }
    // Ends every WaitForCommit now (of this process and others; they look and wait again).
    void WakeWaiters() { shared_.Wake(); }

    // Whether the journal replayed at open was damaged (see the class comment), and what was
    // said of it.
    bool JournalWasDamaged() const { return !journal_damage_.empty(); }
    const std::string& JournalDamage() const { return journal_damage_; }

private:
    friend class WriteTransaction;
    friend class WriterGate;
    class WriterGate;

    // A page the running transaction changed.
    struct Captured {
        Page* page = nullptr;
        std::unique_ptr<uint8_t[]> before;  // null for a page added by growth
    };
    // What a rollback to a savepoint puts back.
    struct Savepoint {
        uint64_t stamp = 0;
        std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> images;  // pages changed
                                                                          // before it, as then
        std::unordered_set<uint64_t> new_pages;  // first changed (or added) after it
        PoolHead head;
        PageAllocator::State allocator;
        std::map<int, PoolHead> file_heads;
        size_t notes_size = 0;
    };
    struct Transaction {
        uint64_t base_stamp = 0;
        uint64_t stamp = 0;  // pages captured at the current level carry it
        std::unordered_map<uint64_t, Captured> pages;
        std::vector<Savepoint> savepoints;
        PoolHead head;  // the main head as it was
        PageAllocator::State allocator;
        std::map<int, PoolHead> file_heads;  // heads of files > 1 it rewrote
        std::string notes;                   // change notes (AddChangeNote)
    };
    // A committed area not yet written to its place.
    struct Unwritten {
        Page* page = nullptr;  // pinned until written; null for a file head
        int file = 0;          // where it goes
        uint32_t position = 0;
        std::shared_ptr<const std::vector<uint8_t>> image;  // as on disk
        uint64_t sequence = 0;                              // the journal record that committed it
    };

    // The transaction steps, called by WriteTransaction with the gate held.
    void Begin() REQUIRES(writer_gate_);
    void Commit() REQUIRES(writer_gate_) EXCLUDES(pending_mutex_, checkpoint_mutex_);
    void Rollback() REQUIRES(writer_gate_);
    void OpenSavepoint() REQUIRES(writer_gate_);
    void ReleaseSavepoint() REQUIRES(writer_gate_);
    void RollbackToSavepoint() REQUIRES(writer_gate_);
    void EndTransaction() REQUIRES(writer_gate_);
    void BuildRecord(JournalRecord& record, std::vector<std::pair<uint64_t, Unwritten>>& pages,
                     std::vector<std::pair<int, Unwritten>>& heads) REQUIRES(writer_gate_);
    void Register(uint64_t sequence, std::vector<std::pair<uint64_t, Unwritten>>& pages,
                  std::vector<std::pair<int, Unwritten>>& heads, std::vector<Page*>& unpin)
        REQUIRES(writer_gate_, pending_mutex_);
    void RestoreCaptured(Captured& captured) REQUIRES(writer_gate_);
    // Tells the analysis what InTransaction() just showed: this thread runs the transaction,
    // so its outermost WriteTransaction holds the writer gate (the owner is set only under
    // it). Call it only after InTransaction() was true.
    void GateHeldByThisThread() const ASSERT_CAPABILITY(writer_gate_) {}

    // PageChangeListener: keeps the before-image.
    void BeforeChange(Page& page) override;
    // PageAllocator::PageSource.
    Page* Pin(uint64_t number) override { return GetPage(number); }
    Page* PinForChange(uint64_t number) override;
    void Unpin(Page* page) override { ReleasePage(page); }
    void AddFresh(uint64_t number, int file, uint32_t position, const uint8_t* bytes) override;
    void SetFileHead(int file, const PoolHead& head) override;

    // Reading pages.
    bool LoadPage(uint64_t number, uint8_t* buffer, int& file, uint32_t& position);
    // A committed image not yet in the data files (kept for a page this process does not
    // hold pinned); false when there is none.
    bool LoadUnwritten(uint64_t number, uint8_t* buffer, int& file, uint32_t& position)
        EXCLUDES(pending_mutex_);
    void EncodeForDisk(const Page* page, uint8_t* out) const;
    // The page's bytes in memory from its image as on disk; false when it cannot be
    // deciphered.
    bool DecodeFromDisk(const uint8_t* image, uint8_t* out, uint32_t page_size) const;

    // Following other processes (pager_sharing.cpp).
    bool OpenShared(const std::string& path);
    bool OpenForReading(const std::string& path);
    void TakeInRecord(uint64_t sequence, const std::vector<Journal::Entry>& entries,
                      std::string& notes) REQUIRES(writer_gate_);
    void TakeInArea(uint64_t sequence, const Journal::Entry& entry) REQUIRES(writer_gate_);
    // CatchUp's reading of the new records; true when any was taken in.
    bool TakeInCommits() REQUIRES(writer_gate_);
    bool TakeInNewGeneration(const PublishedState& state) REQUIRES(writer_gate_);
    void RefreshEverything() REQUIRES(writer_gate_);
    bool ReadMainHeadFromFile();
    void Publish(uint64_t sequence) REQUIRES(pending_mutex_, writer_gate_);
    void PublishEmptied(uint64_t sequence) REQUIRES(pending_mutex_);
    bool SharedCheckpoint() EXCLUDES(pending_mutex_);
    // Waits for other processes before a checkpoint writes commits up to `sequence` into the
    // data files; false when their readers did not finish in time.
    bool OtherProcessesDoneWith(uint64_t sequence);
    // Takes the writer gate; a thread in a call steps out of it while it waits (see
    // AcquireWriteLock).
    void LockGate() ACQUIRE(writer_gate_);
    void WaitOutsideCall(const std::function<void()>& wait);
    void AcquireWriteLock() REQUIRES(writer_gate_);
    void ReloadAllocator() REQUIRES(writer_gate_);
    void ReleaseWriteLock() REQUIRES(writer_gate_);

    // Opening and closing (pager_open.cpp).
    enum class LoadResult { kLoaded, kFailed, kPageSizeMismatch };
    bool ReplayJournal(const std::string& path, uint64_t& replayed);
    bool OpenReadOnly(const std::string& path);
    OpenFailure CheckPermissions(const std::string& path) const;
    bool OpenBesideWriters(const std::string& path);
    bool OpenFirstWriter(const std::string& path);
    void CloseSharedWriter();
    void RemoveJournal() REQUIRES(pending_mutex_);
    void KeepDamagedJournal(const std::string& path, const JournalScan& scan);
    bool CreateNew(const std::string& path);
    bool WriteNewPoolFile(int fd, const std::string& path, uint32_t total);
    bool ReadHead(const std::string& path, uint32_t read_length);
    bool WriteHead(const PoolHead& head, int file);
    LoadResult Load(const std::string& path, uint32_t read_length);
    bool OpenJournal() EXCLUDES(pending_mutex_);
    void RepairAtOpen();
    bool RepairPageCount();
    void ReleaseUnwritten() EXCLUDES(pending_mutex_);
    bool SyncDirectory() const;
    bool Syncs() const { return options_.durability != Durability::kOff; }

    // Checkpoints and the pager's thread (pager_checkpoint.cpp).
    bool CheckpointLocked() REQUIRES(checkpoint_mutex_) EXCLUDES(pending_mutex_);
    void RequestCheckpoint() EXCLUDES(thread_mutex_);
    bool StartThread() EXCLUDES(thread_mutex_);
    void StopThread() EXCLUDES(thread_mutex_);
    bool SleepUnlessStopped(const std::stop_token& stop, uint64_t milliseconds,
                            bool wake_for_checkpoint) EXCLUDES(thread_mutex_);
    void RunThread(const std::stop_token& stop) EXCLUDES(thread_mutex_, checkpoint_mutex_);

    PoolOptions options_;
    OpenFailure open_failure_ = OpenFailure::kNone;
    std::string path_;
    // The side file shared with other processes holding the pool.
    SharedState shared_;
    // Set for kShared and kReadOnly: other processes commit, and calls catch up.
    bool follows_others_ = false;
    // The last commit this process has taken in (or made).
    std::atomic<uint64_t> applied_{0};
    // Where this process reads other processes' records.
    std::unique_ptr<Journal> reader_ GUARDED_BY(writer_gate_);
    uint64_t read_offset_ GUARDED_BY(writer_gate_) = 0;
    uint64_t seen_generation_ GUARDED_BY(writer_gate_) = 0;
    bool write_lock_held_ GUARDED_BY(writer_gate_) = false;
    // Other processes' commits were taken in since the allocator last learnt the pool.
    bool allocator_stale_ GUARDED_BY(writer_gate_) = false;
    std::function<void()> write_lock_listener_;
    DataFileSet files_;
    brindle::MainHead head_;
    PageCache cache_;
    PageAllocator allocator_;

    // The write transaction.
    vell::Mutex writer_gate_;
    std::atomic<std::thread::id> gate_owner_{};
    std::atomic<bool> transaction_active_{false};
    std::atomic<std::thread::id> transaction_owner_{};
    Transaction transaction_ GUARDED_BY(writer_gate_);
    uint64_t next_stamp_ GUARDED_BY(writer_gate_) = 1;
    std::function<void()> rollback_listener_;
    PagesChangedListener pages_changed_listener_;
    // Pages taken in by the running CatchUp, and whether it lost track of them (a gap).
    std::vector<uint64_t> pages_taken_in_ GUARDED_BY(writer_gate_);
    bool everything_taken_in_ GUARDED_BY(writer_gate_) = false;
    CommitObserver commit_observer_;

    // Committed state not yet in the data files.
    mutable vell::Mutex pending_mutex_ ACQUIRED_AFTER(writer_gate_, checkpoint_mutex_);
    std::unique_ptr<Journal> journal_;  // appended and emptied under pending_mutex_
    std::unordered_map<uint64_t, Unwritten> unwritten_ GUARDED_BY(pending_mutex_);  // pages
    std::map<int, Unwritten> unwritten_heads_ GUARDED_BY(pending_mutex_);           // file heads
    int committed_file_count_ GUARDED_BY(pending_mutex_) = 0;
    bool directory_unsynced_ GUARDED_BY(pending_mutex_) = false;

    vell::Mutex checkpoint_mutex_ ACQUIRED_AFTER(writer_gate_);
    std::string journal_damage_;

    // The pager's thread: idle page drops and checkpoints.
    vell::Mutex thread_mutex_ ACQUIRED_AFTER(writer_gate_, checkpoint_mutex_, pending_mutex_);
    std::condition_variable_any thread_wake_;  // with thread_mutex_
    bool thread_ended_ GUARDED_BY(thread_mutex_) = false;
    bool checkpoint_requested_ GUARDED_BY(thread_mutex_) = false;
    std::jthread thread_;
    bool closed_ = false;
    bool opened_ = false;
};

}  // namespace brindle
