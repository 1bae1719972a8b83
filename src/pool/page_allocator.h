#pragma once

#include <cstdint>
#include <map>

#include "files/data_file_set.h"
#include "pool/main_head.h"
#include "pool/page.h"
#include "pool/pool_options.h"
#include "vell/thread_annotations.h"

namespace brindle {

// Hands out and takes back pages: the free list, growth at the end of the last data file, and
// new data files when the last one is full.
//
// The free list is doubly linked through the page heads' Next and Prev and used as a stack at
// its tail; its head is FreeHead in the main head, its tail is known only in memory. Growth
// appends a batch of fresh free pages at the end of the last file, filling it up to the head's
// MaxFileSize before a new numbered file with its own head is added.
//
// Every change the allocator makes is part of the running write transaction: it changes pages
// only through the pager's PageSource, which keeps their before-images, and it keeps its own
// state in memory (the free-list tail, the files' ends and heads) so that a rollback can
// restore it with Restore. It writes nothing to the files itself.
class PageAllocator {
public:
    // What the allocator needs of the pager.
    class PageSource {
    public:
        virtual ~PageSource() = default;
        // Pins page `number` for reading; null when it cannot be had.
        virtual Page* Pin(uint64_t number) = 0;
        // Pins page `number` for changing; null when it cannot be had.
        virtual Page* PinForChange(uint64_t number) = 0;
        virtual void Unpin(Page* page) = 0;
        // Makes a page that exists only in memory so far part of the running transaction,
        // with `bytes` as its content (a fresh free page of a growth).
        virtual void AddFresh(uint64_t number, int file, uint32_t position,
                              const uint8_t* bytes) = 0;
        // Sets the head of data file `file` (> 1) as the running transaction leaves it.
        virtual void SetFileHead(int file, const PoolHead& head) = 0;
    };

    // What Snapshot keeps and Restore puts back.
    struct State {
        uint64_t free_tail = 0;
        int file_count = 0;
        std::map<int, uint64_t> file_ends;
        std::map<int, PoolHead> file_heads;
    };

    // `options` gives the growth step (add_page_count) and whether a bad free page makes a new
    // list (repair_free_list), read at each use.
    PageAllocator(MainHead& head, DataFileSet& files, PageSource& pages,
                  const PoolOptions& options);
    PageAllocator(const PageAllocator&) = delete;
    PageAllocator& operator=(const PageAllocator&) = delete;

    // How the walk of the free list at open ended.
    enum class ListState { kSound, kBroken };
    // Finds the free list's tail by walking it from FreeHead. A page on the way that is not a
    // free page, or a walk longer than the pool (a cycle), means the list is broken. A page
    // that cannot be read throws (the open fails; nothing is repaired on a failed read).
    ListState FindFreeTail() EXCLUDES(mutex_);

    // A free page, pinned and part of the transaction, its links cleared; null when none can
    // be had. A bad free page makes a new list (when repair is on) and tries again.
    Page* Take() EXCLUDES(mutex_);
    // Puts a pinned page on the free list and unpins it. A page already on the list is only
    // unpinned.
    void Free(Page* page) EXCLUDES(mutex_);
    // Adds `count` fresh free pages; the number added (0 when none could be).
    uint64_t Grow(uint64_t count) EXCLUDES(mutex_);
    // Forgets the free list and starts a new one of fresh pages; false when none were added.
    bool RebuildFreeList() EXCLUDES(mutex_);

    // After another process changed the pool: forgets what it knew of the files and finds the
    // free list's tail again. `heads` are the heads of files > 1 not yet in the data files;
    // the last file's end follows from the main head's page count, since growth reaches a
    // file only at a checkpoint.
    ListState Reload(const std::map<int, PoolHead>& heads) EXCLUDES(mutex_);
    uint64_t FreeTail() const EXCLUDES(mutex_);
    State Snapshot() const EXCLUDES(mutex_);
    // Puts back a snapshot, deleting the data files added since.
    void Restore(const State& state) EXCLUDES(mutex_);

private:
    Page* TakeLocked(bool& bad_free_page) REQUIRES(mutex_);
    uint64_t GrowLocked(uint64_t count) REQUIRES(mutex_);
    void PlaceFreshPages(int file, uint64_t first, uint64_t count, uint64_t file_size)
        REQUIRES(mutex_);
    void AddDataFile() REQUIRES(mutex_);
    uint64_t FileEnd(int file) REQUIRES(mutex_);
    PoolHead FileHead(int file) REQUIRES(mutex_);
    void LinkTailTo(uint64_t next) REQUIRES(mutex_);

    MainHead& head_;
    DataFileSet& files_;
    PageSource& pages_;
    const PoolOptions& options_;
    mutable vell::Mutex mutex_;
    uint64_t free_tail_ GUARDED_BY(mutex_) = 0;
    // Where the pages of a file end, and the heads of files > 1, once known.
    std::map<int, uint64_t> file_ends_ GUARDED_BY(mutex_);
    std::map<int, PoolHead> file_heads_ GUARDED_BY(mutex_);
};

}  // namespace brindle
