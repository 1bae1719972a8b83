#include "vell/thread.h"

#include <chrono>
#include <system_error>

namespace vell {

Thread::~Thread() {
    if (!thread_.joinable()) {
        return;
    }
    if (thread_.get_id() == std::this_thread::get_id()) {
        // Auto-delete was set after Start: the thread is deleting its own object.
        thread_.detach();
    } else {
        thread_.join();
    }
}

bool Thread::Start() {
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        if (started_) {
            return false;
        }
        started_ = true;
    }
    try {
        thread_ = std::thread(&Thread::Entry, this);
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(state_mutex_);
        started_ = false;
        return false;
    }
    try {
        OnStart();
    } catch (...) {
        // The held-back thread ends without running; the object stays the caller's.
        LetGo(false);
        thread_.join();
        throw;
    }
    // An auto-deleting thread may end and delete this object as soon as it is let go, so the
    // thread is detached first and nothing of the object is touched after the notice.
    if (auto_delete_) {
        thread_.detach();
    }
    LetGo(true);
    return true;
}

void Thread::LetGo(bool run) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    run_ = run;
    go_ = true;
    state_changed_.notify_all();
}

bool Thread::WaitForGo() {
    std::unique_lock<std::mutex> lock(state_mutex_);
    state_changed_.wait(lock, [this] { return go_; });
    ended_ = !run_;
    return run_;
}

void Thread::Entry() {
    if (!WaitForGo()) {
        return;
    }
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
    std::lock_guard<std::mutex> lock(state_mutex_);
    ended_ = true;
    state_changed_.notify_all();
}

bool Thread::WaitForEnd(int milliseconds) {
    std::unique_lock<std::mutex> lock(state_mutex_);
    if (!state_changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                 [this] { return ended_ || !started_; })) {
        return false;
    }
    // The thread has left the state lock for good; joining under it keeps two waiters from
    // joining the same thread.
    if (thread_.joinable()) {
        thread_.join();
    }
    return true;
}

}  // namespace vell
