#include "vell/thread.h"

#include <chrono>
#include <system_error>

namespace vell {

Thread::~Thread() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool Thread::Start() {
    if (started_) {
        return false;
    }
    OnStart();
    // An auto-deleting thread may end and delete this object before Start returns, so
    // nothing of the object is touched after the thread exists.
    const bool detach = auto_delete_;
    started_ = true;
    std::thread thread;
    try {
        thread = std::thread(&Thread::Entry, this);
    } catch (const std::system_error&) {
        started_ = false;
        return false;
    }
    if (detach) {
        thread.detach();
    } else {
        thread_ = std::move(thread);
    }
    return true;
}

void Thread::Entry() {
    try {
        Run();
    } catch (...) {
        OnException();
    }
    OnExit();
    if (auto_delete_) {
        delete this;
        return;
    }
    std::lock_guard<std::mutex> lock(end_mutex_);
    ended_ = true;
    end_changed_.notify_all();
}

bool Thread::WaitForEnd(int milliseconds) {
    {
        std::unique_lock<std::mutex> lock(end_mutex_);
        if (!end_changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                   [this] { return ended_ || !started_; })) {
            return false;
        }
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    return true;
}

}  // namespace vell
