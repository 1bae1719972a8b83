#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace vell {

// A background thread with a life of its own. The object is made without a running thread;
// Start calls OnStart on the caller's thread and then runs Run on a new thread, followed by
// OnExit (and OnException first when Run threw). With auto-delete set, the object deletes
// itself once its run has ended; otherwise its owner stops the work, waits for the end
// (WaitForEnd) and then destroys it. The destructor joins a thread still running, so the
// owner of a subclass must make Run return before the subclass's members are destroyed.
class Thread {
public:
    Thread() = default;
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // False when already started or the thread cannot be made.
    virtual bool Start();
    // True when the thread's run has ended within the given time.
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

    bool auto_delete_ = false;
    std::string name_;
    std::thread thread_;
    std::mutex end_mutex_;
    std::condition_variable end_changed_;
    bool started_ = false;
    bool ended_ = false;
};

}  // namespace vell
