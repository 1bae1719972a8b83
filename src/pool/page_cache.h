#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <stop_token>
#include <vector>

#include "pool/block_cache.h"
#include "pool/page.h"
#include "pool/page_table.h"

namespace brindle {

// The pages of one pool held in memory: the page table, pins, the bound on unpinned pages kept
// (the cache) and the walk that drops idle ones. It never writes a page anywhere: pages reach
// the files only through the pager's journal and checkpoints, and a page that differs from
// its place in the files stays pinned by the pager until it has been written.
//
// Any thread may pin and unpin at once. Finding a resident page takes its table shard's lock
// shared; a page that is not resident is read by the caller's loader with no lock held, and
// only entered under the shard lock held exclusively.
class PageCache {
public:
    // Reads page `number` into `buffer` (BufferSize() bytes, plain text) and says where it
    // lives; false when it cannot be read or is not that page.
    using Loader =
        std::function<bool(uint64_t number, uint8_t* buffer, int& file, uint32_t& position)>;

    struct Settings {
        uint32_t page_size = 1024;  // length of every page buffer
        uint32_t data_buffer_initial = 1000;
        uint32_t data_buffer_max = 0;
        uint32_t data_buffer_keep_free = 2000000;
        uint32_t page_buffer_initial = 1000;
        uint32_t page_buffer_max = 0;
        uint32_t page_buffer_keep_free = 2000000;
        uint64_t max_cached_pages = 100000;
    };

    PageCache() = default;
    // Frees every page still held.
    ~PageCache();
    PageCache(const PageCache&) = delete;
    PageCache& operator=(const PageCache&) = delete;

    // Makes the buffer stores; false (with a diagnostic line) when they cannot be made.
    // `listener` is told before any page made from now on is changed.
    bool Init(const Settings& settings, PageChangeListener* listener);

    // Pins page `number`: the resident copy, else one read by `load`. Null when `load` fails.
    // Throws "MemoryException" when no buffer can be had.
    Page* Pin(uint64_t number, const Loader& load);
    // Adds one more pin to a page the caller holds pinned.
    void AddPin(Page* page);
    // Drops one pin. A page whose last pin goes stays cached while the cache has room (and it
    // is not marked discard), else leaves memory.
    void Unpin(Page* page);
    // Runs read(page) on page number while it is resident, without pinning it: a page cannot
    // leave memory while its table shard is locked shared, and a read that writes nothing
    // shared scales across threads where pins do not. False, read not run, when the page is
    // not resident. read must only read the page, and must not call the cache.
    template <typename Read>
    bool ReadResident(uint64_t number, Read&& read);

    // Enters a page that exists only in memory so far (made by growth), pinned once, with
    // `bytes` as its content. Throws "MemoryException" when no buffer can be had.
    Page* AddFresh(uint64_t number, int file, uint32_t position, const uint8_t* bytes);
    // Takes a page out of memory whatever its pins (growth undone by a rollback).
    void Forget(Page* page);
    // At close: frees every page nobody pins.
    void DropUnpinned();
    // Another process changed the pool: the resident copy of page `number` (if any) takes
    // `bytes` (BufferSize() of them); a copy being read meanwhile is read again.
    void Refresh(uint64_t number, const uint8_t* bytes);
    // Takes page `number` out of memory unless it is pinned.
    void Discard(uint64_t number);
    // The numbers of the pages in memory now.
    std::vector<uint64_t> ResidentNumbers();

    // Takes out of the cache the pages idle for `timeout` seconds at `now`, freeing those
    // nobody pins, up to `limit` (0: no limit) counted in `dropped`. A shard another thread
    // holds is not waited for: the walk stops there, false, to be tried again.
    bool DropIdle(const std::stop_token& stop, int64_t now, int64_t timeout, uint64_t limit,
                  uint64_t& dropped);

    // A buffer of BufferSize() bytes for a scope. Throws "MemoryException" when none is had.
    HeldBlock HoldBuffer();
    uint32_t BufferSize() const { return settings_.page_size; }
    // Pages with at least one pin.
    size_t PinnedCount() const { return pinned_count_.load(std::memory_order_relaxed); }
    // Pages counted in the cache of unpinned pages (some pinned again).
    uint64_t CachedCount() const { return cached_count_.load(std::memory_order_relaxed); }
    uint64_t MaxCached() const { return settings_.max_cached_pages; }

private:
    Page* MakePage();
    void FreePage(Page* page);
    Page* PinIfResident(const PageTable::Shard& shard, uint64_t number);
    static void Touch(Page* page);
    Page* SettleUnpinned(PageTable::Shard& shard, Page* page);
    bool TakeCacheRoom();
    void LeaveCache(Page* page);
    void ForgetResident(PageTable::Shard& shard, Page* page);

    Settings settings_;
    PageChangeListener* listener_ = nullptr;
    BlockCache data_buffers_;
    BlockCache page_buffers_;
    PageTable table_;
    std::atomic<size_t> pinned_count_{0};
    std::atomic<uint64_t> cached_count_{0};
};

template <typename Read>
bool PageCache::ReadResident(uint64_t number, Read&& read) {
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
