// Lock order: a table shard's lock is taken after the pager's and the allocator's locks and
// before the buffer stores'; no two shard locks are ever held at once (see pool/lock_order.h).
#include "pool/page_cache.h"

#include <cstring>
#include <new>
#include <vector>

#include "vell/date_time.h"
#include "vell/library_errors.h"
#include "vell/output.h"

namespace brindle {

PageCache::~PageCache() {
    for (PageTable::Shard& shard : table_.Shards()) {
        std::unique_lock lock(shard.lock);
        for (auto& entry : shard.pages) {
            FreePage(entry.second);
        }
        shard.pages.clear();
    }
}

bool PageCache::Init(const Settings& s, PageChangeListener* listener) {
    settings_ = s;
    listener_ = listener;
    if (!data_buffers_.Init(s.data_buffer_initial, s.page_size, s.data_buffer_max,
                            s.data_buffer_keep_free)) {
        vell::OutputLine("Init Data buffer failed");
        return false;
    }
    if (!page_buffers_.Init(s.page_buffer_initial, sizeof(Page), s.page_buffer_max,
                            s.page_buffer_keep_free)) {
        vell::OutputLine("Init Page buffer failed");
        return false;
    }
    return true;
}

HeldBlock PageCache::HoldBuffer() {
    HeldBlock buffer(data_buffers_);
    if (!buffer) {
        vell::ThrowMemoryError();
    }
    return buffer;
}

Page* PageCache::MakePage() {
    HeldBlock object(page_buffers_);
    HeldBlock data(data_buffers_);
    if (!object || !data) {
        vell::ThrowMemoryError();
    }
    Page* page = new (object.Release()) Page();
    page->data_ = static_cast<uint8_t*>(data.Release());
    page->buffer_size_ = settings_.page_size;
    page->listener_ = listener_;
    return page;
}

void PageCache::FreePage(Page* page) {
    if (page == nullptr) {
        return;
    }
    if (page->data_ != nullptr) {
        data_buffers_.Release(page->data_);
    }
    page->~Page();
    page_buffers_.Release(page);
}

Page* PageCache::PinIfResident(const PageTable::Shard& shard, uint64_t number) {
    Page* page = PageTable::Find(shard, number);
    if (page == nullptr) {
        return nullptr;
    }
    int before = page->ref_count_.fetch_add(1, std::memory_order_acq_rel);
    if (before < 0) {
        vell::OutputLine("Page ref less zero!!!");
    } else if (before == 0) {
        pinned_count_.fetch_add(1, std::memory_order_relaxed);
    }
    return page;
}

// Written only when the second changed, so that touching a hot page stays a read.
void PageCache::Touch(Page* page) {
    const int64_t now = vell::DateTime::Now().Count();
    if (page->last_access_.load(std::memory_order_relaxed) != now) {
        page->last_access_.store(now, std::memory_order_relaxed);
    }
}

Page* PageCache::Pin(uint64_t number, const Loader& load) {
    PageTable::Shard& shard = table_.ShardOf(number);
    Page* page = nullptr;
    {
        std::shared_lock lock(shard.lock);
        page = PinIfResident(shard, number);
    }
    while (page == nullptr) {
        const uint64_t removals = shard.removals.load(std::memory_order_acquire);
        Page* fresh = MakePage();
        fresh->number_ = number;
        if (!load(number, fresh->data_, fresh->file_, fresh->position_)) {
            FreePage(fresh);
            return nullptr;
        }
        std::unique_lock lock(shard.lock);
        page = PinIfResident(shard, number);  // another thread may have entered it meanwhile
        if (page != nullptr || shard.removals.load(std::memory_order_acquire) != removals) {
            // Either ours is not needed, or a copy came and went while we read: what we read
            // may be older than what that copy held; read again.
            lock.unlock();
            FreePage(fresh);
            continue;
        }
        fresh->ref_count_.store(1, std::memory_order_release);
        pinned_count_.fetch_add(1, std::memory_order_relaxed);
        shard.pages.emplace(number, fresh);
        page = fresh;
    }
    Touch(page);
    return page;
}

void PageCache::AddPin(Page* page) {
    if (page->ref_count_.fetch_add(1, std::memory_order_acq_rel) == 0) {
        pinned_count_.fetch_add(1, std::memory_order_relaxed);
    }
}

// A pin that leaves the page pinned, or leaves a cached page in the cache, goes under the
// shard lock held shared. The last pin of any other page goes under it held exclusively,
// since the page then enters the cache or leaves memory.
void PageCache::Unpin(Page* page) {
    if (page == nullptr) {
        return;
    }
    PageTable::Shard& shard = table_.ShardOf(page->number_);
    {
        std::shared_lock lock(shard.lock);
        int pins = page->ref_count_.load(std::memory_order_acquire);
        while (pins > 1 || (pins == 1 && page->cached_ && !page->discard_)) {
            if (page->ref_count_.compare_exchange_weak(pins, pins - 1, std::memory_order_acq_rel)) {
                if (pins == 1) {
                    pinned_count_.fetch_sub(1, std::memory_order_relaxed);
                }
                return;
            }
        }
        if (pins <= 0) {
            vell::OutputLine("Page ref error");
            return;
        }
    }
    Page* to_free = nullptr;
    {
        std::unique_lock lock(shard.lock);
        int pins = page->ref_count_.load(std::memory_order_acquire);
        if (pins <= 0) {
            vell::OutputLine("Page ref error");
            return;
        }
        page->ref_count_.store(pins - 1, std::memory_order_release);
        if (pins > 1) {
            return;  // pinned again meanwhile
        }
        pinned_count_.fetch_sub(1, std::memory_order_relaxed);
        to_free = SettleUnpinned(shard, page);
    }
    FreePage(to_free);
}

// A page whose last pin just went: kept in the cache when it has room, else taken out of
// the table and returned for the caller to free outside the lock. Called under the shard
// lock, held exclusively.
Page* PageCache::SettleUnpinned(PageTable::Shard& shard, Page* page) {
    if (page->discard_) {
        ForgetResident(shard, page);
        vell::OutputLine("--ReLoad FreeRawPage--ref:%d", page->RefCount());
        return page;
    }
    if (page->cached_ || TakeCacheRoom()) {
        page->cached_ = true;
        return nullptr;
    }
    ForgetResident(shard, page);
    return page;
}

bool PageCache::TakeCacheRoom() {
    uint64_t cached = cached_count_.load(std::memory_order_relaxed);
    while (cached < settings_.max_cached_pages) {
        if (cached_count_.compare_exchange_weak(cached, cached + 1, std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

void PageCache::LeaveCache(Page* page) {
    if (page->cached_) {
        page->cached_ = false;
        cached_count_.fetch_sub(1, std::memory_order_relaxed);
    }
}

void PageCache::ForgetResident(PageTable::Shard& shard, Page* page) {
    LeaveCache(page);
    shard.pages.erase(page->number_);
    shard.removals.fetch_add(1, std::memory_order_acq_rel);
}

Page* PageCache::AddFresh(uint64_t number, int file, uint32_t position, const uint8_t* bytes) {
    Page* page = MakePage();
    std::memcpy(page->data_, bytes, settings_.page_size);
    page->number_ = number;
    page->file_ = file;
    page->position_ = position;
    page->ref_count_.store(1, std::memory_order_release);
    PageTable::Shard& shard = table_.ShardOf(number);
    Page* replaced = nullptr;
    {
        std::unique_lock lock(shard.lock);
        auto [entry, inserted] = shard.pages.try_emplace(number, page);
        if (!inserted) {
            // A stale copy of a page number that growth hands out anew (left by a rollback
            // that could not free it): the fresh page wins.
            replaced = entry->second;
            LeaveCache(replaced);
            entry->second = page;
            shard.removals.fetch_add(1, std::memory_order_acq_rel);
        }
    }
    pinned_count_.fetch_add(1, std::memory_order_relaxed);
    if (replaced != nullptr && replaced->RefCount() == 0) {
        FreePage(replaced);
    }
    return page;
}

void PageCache::Forget(Page* page) {
    PageTable::Shard& shard = table_.ShardOf(page->number_);
    {
        std::unique_lock lock(shard.lock);
        if (page->ref_count_.exchange(0, std::memory_order_acq_rel) > 0) {
            pinned_count_.fetch_sub(1, std::memory_order_relaxed);
        }
        auto found = shard.pages.find(page->number_);
        if (found != shard.pages.end() && found->second == page) {
            ForgetResident(shard, page);
        }
    }
    FreePage(page);
}

void PageCache::Refresh(uint64_t number, const uint8_t* bytes) {
    PageTable::Shard& shard = table_.ShardOf(number);
    std::unique_lock lock(shard.lock);
    Page* page = PageTable::Find(shard, number);
    if (page != nullptr) {
        std::memcpy(page->data_, bytes, settings_.page_size);
    }
    shard.removals.fetch_add(1, std::memory_order_acq_rel);
}

void PageCache::Discard(uint64_t number) {
    PageTable::Shard& shard = table_.ShardOf(number);
    Page* page = nullptr;
    {
        std::unique_lock lock(shard.lock);
        page = PageTable::Find(shard, number);
        if (page == nullptr || page->RefCount() != 0) {
            return;
        }
        ForgetResident(shard, page);
    }
    FreePage(page);
}

std::vector<uint64_t> PageCache::ResidentNumbers() {
    std::vector<uint64_t> numbers;
    for (PageTable::Shard& shard : table_.Shards()) {
        std::shared_lock lock(shard.lock);
        for (auto& entry : shard.pages) {
            numbers.push_back(entry.first);
        }
    }
    return numbers;
}

void PageCache::DropUnpinned() {
    std::vector<Page*> unpinned;
    for (PageTable::Shard& shard : table_.Shards()) {
        std::unique_lock lock(shard.lock);
        for (auto entry = shard.pages.begin(); entry != shard.pages.end();) {
            Page* page = entry->second;
            LeaveCache(page);
            if (page->RefCount() != 0) {
                ++entry;
                continue;
            }
            entry = shard.pages.erase(entry);
            shard.removals.fetch_add(1, std::memory_order_acq_rel);
            unpinned.push_back(page);
        }
    }
    for (Page* page : unpinned) {
        FreePage(page);
    }
}

bool PageCache::DropIdle(const std::stop_token& stop, int64_t now, int64_t timeout, uint64_t limit,
                         uint64_t& dropped) {
    for (PageTable::Shard& shard : table_.Shards()) {
        std::unique_lock lock(shard.lock, std::try_to_lock);
        if (!lock.owns_lock()) {
            return false;
        }
        for (auto entry = shard.pages.begin(); entry != shard.pages.end();) {
            if (stop.stop_requested() || (limit != 0 && dropped >= limit)) {
                return true;
            }
            Page* page = entry->second;
            int64_t last = page->last_access_.load(std::memory_order_relaxed);
            if (!page->cached_ || now - last < timeout) {
                ++entry;
                continue;
            }
            LeaveCache(page);
            ++dropped;
            if (page->RefCount() == 0) {
                entry = shard.pages.erase(entry);
                shard.removals.fetch_add(1, std::memory_order_acq_rel);
                FreePage(page);
            } else {
                ++entry;  // pinned: its last unpin enters it again when there is room
            }
        }
    }
    return true;
}

}  // namespace brindle
