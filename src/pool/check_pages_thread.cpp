// The pool's background thread: while the cache of unpinned pages is full it drops the pages
// idle for at least the page timeout, writing those whose write was delayed, and when the
// database is idle it checkpoints the journal. It only tries the page table's shard locks,
// going on when one is busy, so it never waits on page access.
#include <algorithm>
#include <chrono>

#include "pool/page_pool.h"
#include "vell/date_time.h"
#include "vell/output.h"

namespace brindle {

bool PagePool::StartCheckThread() {
    {
        std::lock_guard<std::mutex> lock(check_mutex_);
        check_ended_ = false;
    }
    try {
        check_thread_ = std::jthread([this](std::stop_token stop) {
            CheckPages(stop);
            std::lock_guard<std::mutex> lock(check_mutex_);
            check_ended_ = true;
            check_wake_.notify_all();
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// Asks the thread to stop and joins it; when it has not ended within 10 s (stuck in I/O) the
// pool says so before it goes on waiting.
void PagePool::StopCheckThread() {
    if (!check_thread_.joinable()) {
        return;
    }
    check_thread_.request_stop();
    {
        std::unique_lock<std::mutex> lock(check_mutex_);
        if (!check_wake_.wait_for(lock, std::chrono::seconds(10), [&] { return check_ended_; })) {
            vell::OutputLine("Terminate page thread ok");
        }
    }
    check_thread_.join();
    vell::OutputLine("Check thread join ok");
}

// True when the pool asked the thread to stop, at once or within the given time.
bool PagePool::SleepUnlessStopped(const std::stop_token& stop, uint64_t milliseconds) {
    std::unique_lock<std::mutex> lock(check_mutex_);
    return check_wake_.wait_for(lock, stop, std::chrono::milliseconds(milliseconds), [] {
        return false;
    }) || stop.stop_requested();
}

// The check thread's body. Every sleep ends as soon as the pool asks the thread to stop; the
// walk looks at the request after every page, so nothing is dropped once the close sequence
// has begun.
void PagePool::CheckPages(const std::stop_token& stop) {
    const PoolOptions& o = options_;
    if (SleepUnlessStopped(stop, o.check_first_delay_ms)) {
        return;
    }
    const uint32_t step_ms = std::max<uint32_t>(o.check_step_ms, 1);
    const uint64_t period_ms =
        std::max<uint64_t>(static_cast<uint64_t>(o.check_period) * 1000, o.check_min_period_ms);
    const int64_t timeout = o.page_timeout == 0 ? 1 : o.page_timeout;

    while (!stop.stop_requested()) {
        const int64_t now = vell::DateTime::Now().Count();
        uint64_t dropped = 0;
        bool walk_done = cached_count_ < o.max_cached_pages;
        if (!walk_done) {
            vell::OutputText("Check page timeout");
        }
        while (!walk_done && !stop.stop_requested()) {
            vell::OutputText("Enter lock");
            if (SleepUnlessStopped(stop, o.check_retry_pause_ms)) {
                return;
            }
            walk_done = DropIdlePages(stop, now, timeout, dropped);
        }
        if (!stop.stop_requested()) {
            TryIdleCheckpoint();
        }
        for (uint64_t slept = 0; slept < period_ms; slept += step_ms) {
            if (SleepUnlessStopped(stop, step_ms)) {
                return;
            }
        }
    }
}

// Takes cached pages idle for timeout seconds out of the cache, freeing the unpinned ones, up
// to max_check_pages per check (dropped counts them). A shard another thread holds is not
// waited for: the walk stops there, false, to be tried again.
bool PagePool::DropIdlePages(const std::stop_token& stop, int64_t now, int64_t timeout,
                             uint64_t& dropped) {
    const uint64_t limit = options_.max_check_pages;
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
                FreeRawPage(page);
            } else {
                ++entry;  // pinned: its last release enters it again when there is room
            }
        }
    }
    return true;
}

}  // namespace brindle
