#include "pool/check_pages_thread.h"

#include <algorithm>
#include <cstdio>

#include "pool/page_pool.h"
#include "vell/date_time.h"

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
        bool walk_done = frequency_count_ < o.max_cached_pages;
        if (!walk_done) {
            std::printf("Check page timeout\n");
        }
        while (!walk_done && !stop_) {
            std::printf("Enter lock\n");
            std::fflush(stdout);
            if (stop_event_.Wait(static_cast<int>(o.check_retry_pause_ms))) {
                return;
            }
            vell::ScopedLock frequency_lock(frequency_lock_);
            bool busy = false;
            for (auto entry = frequency_.begin(); entry != frequency_.end() && !stop_;) {
                if (o.max_check_pages != 0 && dropped >= o.max_check_pages) {
                    break;
                }
                Page* page = entry->second;
                int64_t last = page->last_access_.load(std::memory_order_relaxed);
                if (now - last < timeout) {
                    ++entry;
                    continue;
                }
                vell::TryScopedLock reference_lock(reference_lock_);
                if (!reference_lock.Locked()) {
                    busy = true;
                    break;
                }
                if (page->ref_count_ == 0) {
                    vell::TryScopedLock page_lock(page_lock_);
                    if (!page_lock.Locked()) {
                        busy = true;
                        break;
                    }
                    --frequency_count_;
                    entry = frequency_.erase(entry);
                    ++dropped;
                    FreeRawPage(page);
                } else {
                    // Pinned: it leaves the cache map only; its next release brings it back.
                    --frequency_count_;
                    entry = frequency_.erase(entry);
                    ++dropped;
                }
            }
            walk_done = !busy;
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

}  // namespace brindle
