#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>

namespace vell {

// Reader counts split by thread, each on a cache line of its own: threads take stripes in
// turn as they first ask, so up to kReaderStripes threads share none.
inline constexpr size_t kReaderStripes = 16;
struct alignas(64) ReaderStripe {
    std::atomic<int> readers{0};
};
using ReaderStripes = std::array<ReaderStripe, kReaderStripes>;
size_t ThisThreadStripe();
bool AnyReaders(const ReaderStripes& stripes);

// A reader-writer lock for data read far more often than it changes, on many threads at once.
//
// A reader counts itself in one of several counters, picked by its thread and each on a cache
// line of its own, so readers on different cores write to different lines and do not slow each
// other down (a single shared count would bounce between the cores on every lock). A writer
// claims the lock, then waits for every counter to drop to zero; readers arriving during a
// claim step back and sleep until the writer leaves, so writers are never starved.
//
// Meets the SharedMutex requirements: use it with std::shared_lock and std::unique_lock.
// Not re-entrant in either mode; a reader must not take the lock again while holding it
// (a writer claiming in between would wait for it forever). Writers wait for readers by
// yielding, so read sections must be short and never block.
class StripedSharedMutex {
public:
    StripedSharedMutex() = default;
    StripedSharedMutex(const StripedSharedMutex&) = delete;
    StripedSharedMutex& operator=(const StripedSharedMutex&) = delete;

    void lock_shared();
    void unlock_shared();
    void lock();
    bool try_lock();
    void unlock();

private:
    ReaderStripes stripes_;
    alignas(64) std::atomic<bool> claimed_{false};
    std::mutex writers_;  // one claim at a time
};

}  // namespace vell
