#include "vell/event.h"

#include <chrono>

namespace vell {

void Event::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
    }
    signalled_changed_.notify_all();
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
}

bool Event::Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    signalled_changed_.wait(lock, [this] { return signalled_; });
    return true;
}

bool Event::Wait(int milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (milliseconds <= 0) {
        return signalled_;
    }
    return signalled_changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                       [this] { return signalled_; });
}

}  // namespace vell
