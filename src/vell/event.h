#pragma once

#include <condition_variable>
#include <mutex>

namespace vell {

// A manual-reset event: once Set it stays signalled, releasing every waiter, until Reset.
// Starts not signalled.
class Event {
public:
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // Waits without limit; true when the event was signalled.
    bool Wait();
    // Waits up to the given time; true only when the event was signalled. Wait(0) polls.
    bool Wait(int milliseconds);

private:
    std::mutex mutex_;
    std::condition_variable signalled_changed_;
    bool signalled_ = false;
};

}  // namespace vell
