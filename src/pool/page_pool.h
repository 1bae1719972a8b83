#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "files/data_file_set.h"
#include "pool/block_cache.h"
#include "pool/journal.h"
#include "pool/page.h"
#include "pool/page_table.h"
#include "pool/pool_head.h"
#include "pool/pool_options.h"
#include "vell/critical_section.h"

namespace brindle {

// Fixed-size pages numbered from 1, kept in a DataFileSet, with a cache in memory.
//
// Pages are pinned with GetPage/NewPage (or a PageHandle) and unpinned with ReleasePage or
// FreePage. A pinned page never leaves memory. An ordinary page that was changed is written
// when its last pin goes; a DelayWrite page, and every page of a temporary pool, only when it
// leaves memory. Unpinned pages stay cached up to max_cached_pages; a background thread drops
// those idle longer than the page timeout when the cache is full.
//
// Opening is Init (load, or create and load); closing is the destructor. Any thread may pin
// and release pages at once.
//
// Write transactions. Every change of the database runs inside one (see WriteTransaction),
// and one runs at a time. The first time the transaction's thread pins a page, the page's
// bytes are kept as its before-image and the transaction holds a pin of its own, so the page
// stays in memory. Nothing the transaction changes reaches a data file before its commit:
// the commit appends every changed page (enciphered) and head to the journal as one record,
// and the pages stay pinned, still dirty, until a checkpoint writes them to their places and
// empties the journal. An abort copies the before-images back, forgets pages added by
// growth and deletes files added meanwhile, so memory and disk are as they were. At Init
// complete journal records are written to the data files before anything else is read.
class PagePool {
public:
    PagePool();
    ~PagePool();
    PagePool(const PagePool&) = delete;
    PagePool& operator=(const PagePool&) = delete;

    // Set before Init.
    PoolOptions& Options() { return options_; }

    // Builds the caches, loads the pool at path (creating it when none can be loaded) and
    // starts the check thread. False with a diagnostic line on failure.
    bool Init(const std::string& path);
    // The close sequence: stops the check thread, unpins and drops every page (writing the
    // delayed ones), marks the head closed in order and flushes. Safe to call twice.
    void Close();

    // --- page access ---
    Page* GetPage(uint64_t number);
    // Runs read(page) on page number while it is in memory, without pinning it: a page
    // cannot leave memory while its table shard is locked shared, and a read that writes
    // nothing shared scales across threads where pins (one shared count a page) do not.
    // False, read not run, when the page is not in memory: pin it instead. read must only
    // read the page, and must not call the pool.
    template <typename Read>
    bool ReadResident(uint64_t number, Read&& read);
    Page* NewPage();
    void ReleasePage(Page* page);
    void FreePage(Page* page);
    // Writes the page to its file now, enciphered when flagged; also for a pinned page.
    // Inside a write transaction only marks it changed: the commit writes it.
    bool WritePage(Page* page);
    void FreeRawPage(Page* page);
    void Dump();

    // --- growth ---
    uint64_t AddNewPages(uint64_t count);
    bool InitFreePageList();

    // --- main head ---
    uint32_t PageSize() const { return head_.page_size; }
    uint64_t PageCount() const { return page_count_.load(std::memory_order_acquire); }
    uint32_t FileCount() const { return MainHead().file_count; }
    uint64_t FreeHead() const { return MainHead().free_head; }
    uint64_t FreeTail() const;
    // A copy of the main head as held in memory.
    PoolHead MainHead() const;
    // The tree store's anchor in the main head; written to disk by WriteMainHead.
    uint32_t TreeFlags() const { return MainHead().tree_flags; }
    uint64_t FirstQueuePage() const { return MainHead().first_queue_page; }
    void SetTreeAnchor(uint32_t tree_flags, uint64_t first_queue_page);
    bool WriteMainHead();

    // --- cache introspection ---
    size_t UsedPageCount() const;
    uint64_t CachedPageCount() const;

    // --- write transactions (see WriteTransaction) ---
    // Takes the pool's write lock and starts a transaction; a nested call on the thread that
    // runs the transaction only counts.
    void BeginWrite();
    // Ends the outermost transaction: commits it, then lets the write lock go. Throws
    // "IOException" after rolling back when the journal cannot take the record.
    void CommitWrite();
    // Rolls the transaction back entirely and lets the write lock go.
    void AbortWrite();
    // Commits what the running transaction changed so far and goes on in a new one, when it
    // holds more than step_pages pages. For calls too large to keep whole in memory.
    void CommitStepIfLarge();
    // True on the thread that runs the transaction.
    bool InTransaction() const;
    // Pages the running transaction holds.
    size_t TransactionPageCount() const;
    // Writes every committed page to its place and empties the journal; false (journal
    // kept) when a write fails. Takes the write lock.
    bool Checkpoint();
    // Bytes in the journal; 0 for a pool without one.
    uint64_t JournalSize() const;
    // Pages committed and not yet written to their places.
    size_t UnwrittenPageCount() const;
    // Called (on the transaction's thread) after every rollback; null for none. For caches
    // over the pages, which must forget what the rollback undid.
    void SetRollbackListener(std::function<void()> listener) {
        rollback_listener_ = std::move(listener);
    }
    // Transactions committed since the pool opened (steps count each).
    uint64_t CommitCount() const { return commit_count_.load(std::memory_order_acquire); }

private:
    enum class LoadResult { kLoaded, kFailed, kPageSizeMismatch };

    // Files and heads.
    bool CreateNew(const std::string& path, uint32_t page_size, uint32_t page_count,
                   uint32_t max_file_size);
    bool WriteNewPoolFile(DataFileSet& file, const std::string& path, uint32_t page_size,
                          uint32_t page_count, uint32_t max_file_size, uint32_t total);
    bool ReadHead(const std::string& path, uint32_t read_length);
    bool WriteHead(const PoolHead& head, uint32_t page_size, int file);
    LoadResult Load(const std::string& path, uint32_t read_length);
    bool RepairHead();
    bool WalkFreeListAtLoad();
    void ReleaseEverything();

    // Allocation.
    Page* TakeFreePage(bool& bad_free_page);
    void LinkTailTo(uint64_t next);
    void SetPageCount(uint64_t count);

    // Journal and transactions.
    struct TransactionPage {
        Page* page = nullptr;
        std::unique_ptr<uint8_t[]> before;  // null for a page added by growth
        bool was_dirty = false;
    };
    struct Transaction {
        std::unordered_map<uint64_t, TransactionPage> pages;
        PoolHead head;  // the main head as it was
        uint64_t free_tail = 0;
        int file_count = 0;
        std::map<int, uint64_t> file_ends;
        std::map<int, std::vector<uint8_t>> file_heads;  // heads of files > 1 it rewrote
        bool head_changed = false;
    };
    bool ReplayJournal(const std::string& path);
    bool OpenJournal();
    void Capture(Page* page);
    void Commit();
    void Rollback();
    void EndTransaction();
    void AppendChanges(JournalRecord& record, std::vector<Page*>& changed);
    bool CheckpointLocked();
    void TryIdleCheckpoint();
    bool WriteHeadOrStage(const PoolHead& head, int file);
    PoolHead ReadFileHead(int file);
    uint64_t FileEnd(int file);
    void PlaceFreshPages(int file, uint64_t first, uint64_t count, uint64_t file_size);
    void AddDataFile();
    bool SyncData() const { return options_.durability != Durability::kOff; }

    // Cache.
    void EncodeForDisk(const Page* page, uint8_t* out) const;
    bool WriteToFile(Page* page);
    Page* LoadPage(uint64_t number);
    Page* PinResident(const PageTable::Shard& shard, uint64_t number);
    static void Touch(Page* page);
    bool NeedsSettling(const Page* page) const;
    Page* SettleUnpinned(PageTable::Shard& shard, Page* page);
    bool WritesOnRelease(const Page* page) const;
    bool TakeCacheRoom();
    void LeaveCache(Page* page);
    void ForgetResident(PageTable::Shard& shard, Page* page);
    bool DropIdlePages(const std::stop_token& stop, int64_t now, int64_t timeout,
                       uint64_t& dropped);
    HeldBlock HoldDataBuffer();
    // A Page object with its data buffer, both from the caches; throws when none can be had.
    Page* MakePage(uint32_t page_size);
    // The check thread (check_pages_thread.cpp).
    bool StartCheckThread();
    void StopCheckThread();
    bool SleepUnlessStopped(const std::stop_token& stop, uint64_t milliseconds);
    void CheckPages(const std::stop_token& stop);

    PoolOptions options_;
    PoolHead head_;
    std::atomic<uint64_t> page_count_{0};  // mirrors head_.page_count for lock-free checks
    uint64_t free_tail_ = 0;               // guarded by free_list_lock_
    std::string path_;
    DataFileSet files_;

    BlockCache data_buffers_;
    BlockCache page_buffers_;
    PageTable table_;                        // every page in memory, pinned or cached
    std::atomic<size_t> pinned_count_{0};    // pages with at least one pin
    std::atomic<uint64_t> cached_count_{0};  // pages counted in the cache (some pinned again)

    mutable vell::CriticalSection head_lock_;  // innermost: guards head_ while copied or changed
    mutable vell::CriticalSection free_list_lock_;
    vell::CriticalSection growth_lock_;

    std::unique_ptr<Journal> journal_;
    std::mutex write_mutex_;  // held for the length of a transaction, or by a checkpoint
    std::atomic<bool> transaction_active_{false};
    std::atomic<std::thread::id> transaction_owner_{};
    std::atomic<uint64_t> commit_count_{0};
    std::function<void()> rollback_listener_;
    Transaction transaction_;
    // Committed state not yet in the data files; guarded by write_mutex_.
    std::map<uint64_t, Page*> unwritten_;  // each holds a pin until written
    std::map<int, std::vector<uint8_t>> unwritten_heads_;
    bool main_head_unwritten_ = false;
    std::map<int, uint64_t> file_ends_;  // where the pages of a file end, when not yet written

    std::mutex check_mutex_;
    std::condition_variable_any check_wake_;  // the check thread's sleeps and its end
    bool check_ended_ = false;                // guarded by check_mutex_
    std::jthread check_thread_;
    bool closed_ = false;
};

template <typename Read>
bool PagePool::ReadResident(uint64_t number, Read&& read) {
    PageTable::Shard& shard = table_.ShardOf(number);
    std::shared_lock lock(shard.lock);
    Page* page = PageTable::Find(shard, number);
    if (page == nullptr) {
        return false;
    }
    Touch(page);
    read(page);
    return true;
}

}  // namespace brindle
