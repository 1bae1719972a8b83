#pragma once

#include <atomic>
#include <cstdint>

#include "pool/pool_head.h"
#include "vell/thread_annotations.h"

namespace brindle {

// The pool's main head as held in memory: file 1's head, describing the whole pool. The
// allocator changes its page count, file count and free-list head, the tree store its anchor,
// the pager its flags; the pager brings it to the files. Any thread may read it.
class MainHead {
public:
    // A copy of the whole head.
    PoolHead Get() const EXCLUDES(mutex_) {
        vell::MutexLock lock(mutex_);
        return head_;
    }
    void Set(const PoolHead& head) EXCLUDES(mutex_) {
        vell::MutexLock lock(mutex_);
        head_ = head;
        page_count_.store(head.page_count, std::memory_order_release);
    }
    // Runs change(head) on the head under its lock; change must not call back into the pool.
    template <typename Change>
    void Update(Change&& change) EXCLUDES(mutex_) {
        vell::MutexLock lock(mutex_);
        change(head_);
        page_count_.store(head_.page_count, std::memory_order_release);
    }
    // The page count without a lock, for the range checks of every page access.
    uint64_t PageCount() const { return page_count_.load(std::memory_order_acquire); }

private:
    mutable vell::Mutex mutex_;
    PoolHead head_ GUARDED_BY(mutex_);
    std::atomic<uint64_t> page_count_{0};
};

}  // namespace brindle
