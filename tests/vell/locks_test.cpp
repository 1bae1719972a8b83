#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "vell/read_write_lock.h"
#include "vell/striped_shared_mutex.h"

namespace vell {
namespace {

using namespace std::chrono_literals;

void JoinAll(std::vector<std::thread>& threads) {
    for (auto& thread : threads) {
        thread.join();
    }
}

// Every reader waits, holding its read lock, until all are inside: readers that shut each
// other out would never get there. A writer then waits for all of them, while a reader that
// already holds the lock may still take it again.
TEST(ReadWriteLockConcurrency, ReadersRunTogetherAndWriterWaitsForAll) {
    constexpr int kReaders = 4;
    ReadWriteLock lock;
    std::atomic<int> inside{0};
    std::atomic<bool> writer_in{false};
    std::atomic<bool> release{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < kReaders; ++t) {
        readers.emplace_back([&] {
            ReadGuard read(lock);
            ++inside;
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (!release && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(1ms);
            }
            // A writer is waiting by now; this must not block. (Taken again inside a lambda
            // of its own: the thread-safety analysis refuses a re-entry it can see.)
            [&] {
                ReadGuard nested(lock);
                EXPECT_FALSE(writer_in);
            }();
        });
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (inside < kReaders && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(inside, kReaders);

    std::thread writer([&] {
        WriteGuard write(lock);
        writer_in = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(writer_in);
    release = true;
    JoinAll(readers);
    writer.join();
    EXPECT_TRUE(writer_in);
}

// Writers change two values one after the other inside `write`; readers compare them inside
// `read`. A reader that ever saw them differ ran beside a writer, and a lost increment shows
// in the totals.
template <class WriteScope, class ReadScope>
void ExpectWritersExcludeEveryone(int writers, int readers, WriteScope write, ReadScope read) {
    constexpr int kRounds = 5000;
    long first = 0;
    long second = 0;
    std::atomic<long> torn_reads{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < writers + readers; ++t) {
        threads.emplace_back([&, writer = t < writers] {
            for (int i = 0; i < kRounds; ++i) {
                if (writer) {
                    write([&] {
                        ++first;
                        std::this_thread::yield();
                        ++second;
                    });
                } else {
                    read([&] { torn_reads += first != second ? 1 : 0; });
                }
            }
        });
    }
    JoinAll(threads);
    EXPECT_EQ(first, long{kRounds} * writers);
    EXPECT_EQ(second, long{kRounds} * writers);
    EXPECT_EQ(torn_reads, 0);
}

TEST(ReadWriteLockConcurrency, WritersExcludeEveryoneUnderMixedLoad) {
    ReadWriteLock lock;
    ExpectWritersExcludeEveryone(
        3, 3,
        [&](auto&& change) {
            // A writer may read and write again on top (in lambdas of their own, for the
            // thread-safety analysis).
            WriteGuard write(lock);
            [&] {
                ReadGuard own_read(lock);
                [&] {
                    WriteGuard nested(lock);
                    change();
                }();
            }();
        },
        [&](auto&& look) {
            ReadGuard read(lock);
            look();
        });
}

// Readers on their own stripes must still all be seen by a writer: a writer that missed one
// would change the pair under it.
TEST(StripedSharedMutexConcurrency, WritersExcludeReadersOnEveryStripe) {
    StripedSharedMutex lock;
    ExpectWritersExcludeEveryone(
        2, 4,
        [&](auto&& change) {
            std::unique_lock write(lock);
            change();
        },
        [&](auto&& look) {
            std::shared_lock read(lock);
            look();
        });
}

}  // namespace
}  // namespace vell
