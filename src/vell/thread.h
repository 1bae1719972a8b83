#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace vell {

// A background thread with a life of its own. No thread runs before Start: Start makes the
// thread, calls OnStart on the caller's thread while the new thread is held back, and then
// lets it run Run, followed by OnExit (and OnException first when Run threw). When the thread
// cannot be made, Start returns false without calling OnStart; when OnStart throws, the
// exception leaves Start and the thread ends without running.
//
// With auto-delete set, the object deletes itself once its run has ended, and nobody may
// touch it after Start. Otherwise its owner makes Run return (the thread cannot be ended from
// outside), waits for the end with WaitForEnd and then destroys it. The destructor joins a
// thread still running, so that no thread outlives the object it runs; a subclass whose Run
// uses its own members must still see Run end before its own destructor finishes.
class Thread {
public:
    Thread() = default;
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // False when already started or the thread cannot be made.
    virtual bool Start();
    // True when the thread's run has ended within the given time (at once when never
    // started). Not for auto-deleting threads, whose object may already be gone.
    bool WaitForEnd(int milliseconds);

    void SetAutoDelete(bool auto_delete) { auto_delete_ = auto_delete; }
    void SetName(const char* name) { name_ = name != nullptr ? name : ""; }
    const std::string& Name() const { return name_; }

protected:
    virtual void OnStart() {}
    virtual void Run() = 0;
    virtual void OnExit() {}
    virtual void OnException() {}

private:
    void Entry();
    void LetGo(bool run);
    bool WaitForGo();  // false when the thread is to end without running

    std::atomic<bool> auto_delete_{false};
    std::string name_;
    std::thread thread_;

    std::mutex state_mutex_;
    std::condition_variable state_changed_;
    bool started_ = false;
    bool go_ = false;  // set by Start once OnStart has run (or has thrown)
    bool run_ = false;
    bool ended_ = false;  // set by the thread once OnExit has run
};

}  // namespace vell
