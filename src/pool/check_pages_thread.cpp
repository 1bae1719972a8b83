#include "pool/check_pages_thread.h"

#include <algorithm>

#include "pool/page_pool.h"
#include "vell/date_time.h"
#include "vell/output.h"

namespace brindle {

void CheckPagesThread::Run() {
    if (pool_ != nullptr) {
        pool_->CheckPages();
    }
}

// The check thread's body. Every wait is on the stop event, so a closing pool ends it at
// once; the walk looks at the stop flag after every page, so nothing is dropped once the
// close sequence has begun.
void PagePool::CheckPages() {
    const PoolOptions& o = options_;
    if (stop_event_.Wait(static_cast<int>(o.check_first_delay_ms))) {
        return;
    }
    const uint32_t step_ms = std::max<uint32_t>(o.check_step_ms, 1);
    const uint64_t period_ms =
        std::max<uint64_t>(static_cast<uint64_t>(o.check_period) * 1000, o.check_min_period_ms);
    const int64_t timeout = o.page_timeout == 0 ? 1 : o.page_timeout;

    while (!stop_) {
        const int64_t now = vell::DateTime::Now().Count();
        uint64_t dropped = 0;
        bool walk_done = cached_count_ < o.max_cached_pages;
        if (!walk_done) {
            vell::OutputText("Check page timeout");
        }
        while (!walk_done && !stop_) {
            vell::OutputText("Enter lock");
            if (stop_event_.Wait(static_cast<int>(o.check_retry_pause_ms))) {
                return;
            }
            walk_done = DropIdlePages(now, timeout, dropped);
        }
        if (!stop_) {
            TryIdleCheckpoint();
        }
        for (uint64_t slept = 0; slept < period_ms && !stop_; slept += step_ms) {
            if (stop_event_.Wait(static_cast<int>(step_ms))) {
                return;
            }
        }
    }
}

// Takes cached pages idle for timeout seconds out of the cache, freeing the unpinned ones, up
// to max_check_pages per check (dropped counts them). A shard another thread holds is not
// waited for: the walk stops there, false, to be tried again.
bool PagePool::DropIdlePages(int64_t now, int64_t timeout, uint64_t& dropped) {
    const uint64_t limit = options_.max_check_pages;
    for (PageTable::Shard& shard : table_.Shards()) {
        std::unique_lock lock(shard.lock, std::try_to_lock);
        if (!lock.owns_lock()) {
            return false;
        }
        for (auto entry = shard.pages.begin(); entry != shard.pages.end();) {
            if (stop_ || (limit != 0 && dropped >= limit)) {
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
                FreeRawPage(page);
            } else {
                ++entry;  // pinned: its last release enters it again when there is room
            }
        }
    }
    return true;
}

}  // namespace brindle
