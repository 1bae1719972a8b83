#include "vell/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vell/event.h"

namespace vell {
namespace {

using namespace std::chrono_literals;

enum class Fault { kNone, kInRun, kInOnStart };

class RecordingThread : public Thread {
public:
    explicit RecordingThread(Fault fault) : fault_(fault) {}
    std::vector<std::string> calls;  // written by the caller, then only by the thread
    std::thread::id start_thread;
    std::thread::id run_thread;
    Event may_finish;

protected:
    void OnStart() override {
        calls.push_back("start");
        start_thread = std::this_thread::get_id();
        if (fault_ == Fault::kInOnStart) {
            throw std::runtime_error("refused");
        }
    }
    void Run() override {
        calls.push_back("run");
        run_thread = std::this_thread::get_id();
        may_finish.Wait();
        if (fault_ == Fault::kInRun) {
            throw 42;  // not even a std::exception
        }
    }
    void OnException() override { calls.push_back("exception"); }
    void OnExit() override { calls.push_back("exit"); }

private:
    Fault fault_;
};

TEST(ThreadConcurrency, LifecycleOrderWithAndWithoutException) {
    RecordingThread plain(Fault::kNone);
    EXPECT_TRUE(plain.WaitForEnd(0));  // nothing runs before Start
    ASSERT_TRUE(plain.Start());
    EXPECT_FALSE(plain.Start());  // runs once
    EXPECT_FALSE(plain.WaitForEnd(20));
    plain.may_finish.Set();
    ASSERT_TRUE(plain.WaitForEnd(5000));
    EXPECT_EQ(plain.calls, (std::vector<std::string>{"start", "run", "exit"}));
    EXPECT_EQ(plain.start_thread, std::this_thread::get_id());
    EXPECT_NE(plain.run_thread, std::this_thread::get_id());

    RecordingThread throwing(Fault::kInRun);
    throwing.may_finish.Set();
    ASSERT_TRUE(throwing.Start());
    ASSERT_TRUE(throwing.WaitForEnd(5000));
    EXPECT_EQ(throwing.calls, (std::vector<std::string>{"start", "run", "exception", "exit"}));

    RecordingThread refused(Fault::kInOnStart);
    EXPECT_THROW(refused.Start(), std::runtime_error);
    EXPECT_TRUE(refused.WaitForEnd(0));
    EXPECT_EQ(refused.calls, (std::vector<std::string>{"start"}));
}

class SelfDeletingThread : public Thread {
public:
    SelfDeletingThread(std::atomic<int>& destroyed, bool set_in_run)
        : destroyed_(destroyed), set_in_run_(set_in_run) {}
    ~SelfDeletingThread() override { ++destroyed_; }

protected:
    void Run() override {
        if (set_in_run_) {
            SetAutoDelete(true);
        }
    }

private:
    std::atomic<int>& destroyed_;
    bool set_in_run_;
};

TEST(ThreadConcurrency, AutoDeleteFreesTheObjectAfterItsRun) {
    std::atomic<int> destroyed{0};
    auto* before_start = new SelfDeletingThread(destroyed, false);
    before_start->SetAutoDelete(true);
    ASSERT_TRUE(before_start->Start());
    // Set only once the thread runs: the object must still go without joining itself.
    auto* during_run = new SelfDeletingThread(destroyed, true);
    ASSERT_TRUE(during_run->Start());
    for (int i = 0; i < 500 && destroyed < 2; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(destroyed, 2);
}

}  // namespace
}  // namespace vell
