#include "vell/read_write_lock.h"

namespace vell {

bool ReadWriteLock::ReadLock() {
    std::atomic<int>& readers = ThisThreadReaders();
    readers.fetch_add(1);
    if (!write_claimed_.load()) {
        return true;
    }
    return ReadLockAfterClaim(readers);
}

// The reader has counted itself in but found a writer's claim. Under the state lock it can
// tell whether the writer already owns the lock.
bool ReadWriteLock::ReadLockAfterClaim(std::atomic<int>& readers) {
    std::unique_lock<std::mutex> lock(state_);
    const std::thread::id none;
    if (owner_ == none || owner_ == std::this_thread::get_id()) {
        // Only waiting for readers to leave, or our own write lock: keep the count.
        return true;
    }
    // An owner never waits on the reader count, so backing off needs no wake-up.
    readers.fetch_sub(1);
    readers_may_enter_.wait(lock, [&] { return owner_ == none && waiting_writers_ == 0; });
    // No owner and nobody waiting means no claim either; a writer arriving now sees us.
    readers.fetch_add(1);
    return true;
}

bool ReadWriteLock::ReadUnlock() {
    if (ThisThreadReaders().fetch_sub(1) == 1 && write_claimed_.load()) {
        // A claiming writer may be asleep waiting for this. Taking the state lock before the
        // notice means it has either not yet looked at the count or is already waiting.
        std::lock_guard<std::mutex> lock(state_);
        writers_may_go_.notify_all();
    }
    return true;
}

bool ReadWriteLock::WriteLock() {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(state_);
    if (owner_ == self) {
        ++write_depth_;
        return true;
    }
    ++waiting_writers_;
    writers_may_go_.wait(lock, [this] { return !write_claimed_.load(); });
    write_claimed_.store(true);
    writers_may_go_.wait(lock, [this] { return !AnyReaders(readers_); });
    --waiting_writers_;
    owner_ = self;
    write_depth_ = 1;
    return true;
}

bool ReadWriteLock::WriteUnlock() {
    std::lock_guard<std::mutex> lock(state_);
    if (owner_ != std::this_thread::get_id()) {
        return false;
    }
    if (--write_depth_ > 0) {
        return true;
    }
    owner_ = std::thread::id();
    write_claimed_.store(false);
    // Writers already waiting go first; readers that had to wait follow when none is left.
    if (waiting_writers_ > 0) {
        writers_may_go_.notify_all();
    } else {
        readers_may_enter_.notify_all();
    }
    return true;
}

}  // namespace vell
