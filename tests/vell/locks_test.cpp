#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "vell/critical_section.h"
#include "vell/event.h"
#include "vell/read_write_lock.h"
#include "vell/thread.h"

namespace vell {
namespace {

using namespace std::chrono_literals;

TEST(CriticalSectionConcurrency, ReentersAndRefusesOtherThreadsWhileHeld) {
    CriticalSection section;
    ScopedLock outer(section);
    {
        ScopedLock inner(section);  // the holder enters again without waiting
        TryScopedLock tried(section);
        EXPECT_TRUE(tried.Locked());
    }
    bool other_got_it = true;
    std::thread([&] {
        TryScopedLock tried(section);
        other_got_it = tried.Locked();
    }).join();
    EXPECT_FALSE(other_got_it);
}

TEST(CriticalSectionConcurrency, NoLostUpdates) {
    CriticalSection section;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                ScopedLock lock(section);
                ScopedLock again(section);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 80000);
}

TEST(EventTest, ManualResetWaitsAndPolls) {
    Event event;
    EXPECT_FALSE(event.Wait(0));
    EXPECT_FALSE(event.Wait(20));
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        event.Set();
    });
    EXPECT_TRUE(event.Wait());
    setter.join();
    EXPECT_TRUE(event.Wait(0));  // stays signalled until reset
    EXPECT_TRUE(event.Wait(0));
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(ReadWriteLockConcurrency, WriterIsReentrantAndMayReadOnTop) {
    ReadWriteLock lock;
    ASSERT_TRUE(lock.WriteLock());
    ASSERT_TRUE(lock.WriteLock());
    ASSERT_TRUE(lock.WriteLock());
    ASSERT_TRUE(lock.ReadLock());

    std::atomic<bool> other_read{false};
    std::thread reader([&] {
        EXPECT_FALSE(lock.WriteUnlock());  // not the owner: refused, nothing changes
        lock.ReadLock();
        other_read = true;
        lock.ReadUnlock();
    });
    EXPECT_TRUE(lock.WriteUnlock());
    EXPECT_TRUE(lock.WriteUnlock());
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(other_read);  // one write lock is still held
    EXPECT_TRUE(lock.WriteUnlock());
    EXPECT_TRUE(lock.ReadUnlock());
    reader.join();
    EXPECT_TRUE(other_read);
}

TEST(ReadWriteLockConcurrency, ReadersShareAndWriterWaitsForThem) {
    ReadWriteLock lock;
    lock.ReadLock();
    std::atomic<bool> second_reader_in{false};
    std::thread second([&] {
        lock.ReadLock();
        second_reader_in = true;
        lock.ReadUnlock();
    });
    second.join();
    EXPECT_TRUE(second_reader_in);  // did not wait for the first reader

    std::atomic<bool> writer_in{false};
    std::thread writer([&] {
        lock.WriteLock();
        writer_in = true;
        lock.WriteUnlock();
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(writer_in);
    lock.ReadUnlock();
    writer.join();
    EXPECT_TRUE(writer_in);
}

TEST(ReadWriteLockConcurrency, WaitingWritersGoBeforeReadersThatHadToWait) {
    ReadWriteLock lock;
    lock.WriteLock();
    std::vector<int> order;
    std::mutex order_mutex;
    auto record = [&](int who) {
        std::lock_guard<std::mutex> guard(order_mutex);
        order.push_back(who);
    };
    std::thread reader([&] {
        lock.ReadLock();  // must wait: a writer owns the lock
        record(1);
        lock.ReadUnlock();
    });
    std::this_thread::sleep_for(30ms);
    std::thread writer([&] {
        lock.WriteLock();
        record(2);
        lock.WriteUnlock();
    });
    std::this_thread::sleep_for(30ms);
    lock.WriteUnlock();
    reader.join();
    writer.join();
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0], 2);
    EXPECT_EQ(order[1], 1);
}

TEST(ReadWriteLockConcurrency, NoLostUpdatesUnderMixedLoad) {
    ReadWriteLock lock;
    long value = 0;
    std::atomic<long> reads{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                WriteGuard write(lock);
                WriteGuard nested(lock);
                ++value;
            }
        });
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                ReadGuard read(lock);
                reads += value >= 0 ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(value, 15000);
    EXPECT_EQ(reads, 15000);
}

class RecordingThread : public Thread {
public:
    explicit RecordingThread(bool throw_in_run) : throw_in_run_(throw_in_run) {}
    std::vector<std::string> calls;  // written by the caller, then only by the thread

protected:
    void OnStart() override { calls.push_back("start"); }
    void Run() override {
        calls.push_back("run");
        if (throw_in_run_) {
            throw std::runtime_error("boom");
        }
    }
    void OnException() override { calls.push_back("exception"); }
    void OnExit() override { calls.push_back("exit"); }

private:
    bool throw_in_run_;
};

TEST(ThreadConcurrency, LifecycleOrderWithAndWithoutException) {
    RecordingThread plain(false);
    ASSERT_TRUE(plain.Start());
    EXPECT_FALSE(plain.Start());  // runs once
    ASSERT_TRUE(plain.WaitForEnd(5000));
    EXPECT_EQ(plain.calls, (std::vector<std::string>{"start", "run", "exit"}));

    RecordingThread throwing(true);
    ASSERT_TRUE(throwing.Start());
    ASSERT_TRUE(throwing.WaitForEnd(5000));
    EXPECT_EQ(throwing.calls, (std::vector<std::string>{"start", "run", "exception", "exit"}));
}

class SelfDeletingThread : public Thread {
public:
    explicit SelfDeletingThread(std::atomic<int>& destroyed) : destroyed_(destroyed) {}
    ~SelfDeletingThread() override { ++destroyed_; }

protected:
    void Run() override {}

private:
    std::atomic<int>& destroyed_;
};

TEST(ThreadConcurrency, AutoDeleteFreesTheObjectAfterItsRun) {
    std::atomic<int> destroyed{0};
    auto* thread = new SelfDeletingThread(destroyed);
    thread->SetAutoDelete(true);
    ASSERT_TRUE(thread->Start());
    for (int i = 0; i < 500 && destroyed == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
}  // namespace vell
