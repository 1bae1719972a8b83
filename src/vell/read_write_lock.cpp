#include "vell/read_write_lock.h"

namespace vell {

void ReadWriteLock::WakeWaiters() {
    if (waiting_readers_ > 0 || waiting_writers_ > 0) {
        changed_.notify_all();
    }
}

bool ReadWriteLock::ReadLock() {
    std::unique_lock<std::mutex> lock(state_);
    if (!Owned() || OwnedByCaller()) {
        ++readers_;
        return true;
    }
    // A writer holds the lock: wait for it, then let writers already waiting go first.
    ++waiting_readers_;
    changed_.wait(lock, [this] { return !Owned() && waiting_writers_ == 0; });
    --waiting_readers_;
    ++readers_;
    return true;
}

bool ReadWriteLock::ReadUnlock() {
    std::lock_guard<std::mutex> lock(state_);
    if (readers_ > 0 && --readers_ == 0) {
        WakeWaiters();
    }
    return true;
}

bool ReadWriteLock::WriteLock() {
    std::unique_lock<std::mutex> lock(state_);
    if (OwnedByCaller()) {
        ++write_depth_;
        return true;
    }
    ++waiting_writers_;
    changed_.wait(lock, [this] { return !Owned() && readers_ == 0; });
    --waiting_writers_;
    owner_ = std::this_thread::get_id();
    write_depth_ = 1;
    return true;
}

bool ReadWriteLock::WriteUnlock() {
    std::lock_guard<std::mutex> lock(state_);
    if (!OwnedByCaller()) {
        return false;
    }
    if (--write_depth_ == 0) {
        owner_ = std::thread::id();
        WakeWaiters();
    }
    return true;
}

}  // namespace vell
