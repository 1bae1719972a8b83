#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "vell/striped_shared_mutex.h"
#include "vell/thread_annotations.h"

namespace vell {

// The lock that serialises host calls: readers share it, a writer holds it alone. Rules:
// - the write lock is re-entrant: its owner may take it again (and must release it as often);
// - the owner of the write lock may also take read locks on top of it;
// - a reader that finds no writer owning the lock enters at once, even while a writer waits
//   for the readers to leave, so a thread that already reads never waits on itself;
// - a reader that had to wait for an owning writer gives way to writers already waiting;
// - waiting threads sleep and are woken; nobody polls.
// Callers pair every ReadLock with a ReadUnlock and every WriteLock with a WriteUnlock on the
// same thread, and never ask for the write lock while holding only a read lock (that thread
// would wait for itself without end).
//
// Readers that find no writer touch two atomics and no mutex, so they do not serialise each
// other; the reader count is split into stripes on cache lines of their own, picked by thread,
// so readers on different cores do not even share a line. A writer first claims the lock
// (write_claimed_), then waits for every stripe to drop to zero; a reader first counts itself
// in, then looks at the claim. Both use sequentially consistent operations, so at least one of
// the two sees the other.
//
// The thread-safety analysis knows it as a capability, held shared by readers and exclusively
// by the writer; its re-entry (a writer taking it again, or reading on top) happens only
// across calls, where the analysis does not look.
class CAPABILITY("read-write lock") ReadWriteLock {
public:
    ReadWriteLock() = default;
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    // True when held. (Waits here cannot fail, so the result is always true.)
    bool ReadLock() ACQUIRE_SHARED();
    bool ReadUnlock() RELEASE_SHARED();
    bool WriteLock() ACQUIRE();
    // False, changing nothing, when the calling thread does not own the write lock.
    bool WriteUnlock() RELEASE();

private:
    bool ReadLockAfterClaim(std::atomic<int>& readers);
    std::atomic<int>& ThisThreadReaders() { return readers_[ThisThreadStripe()].readers; }

    // Read locks held, the owner's own included; briefly also a reader about to back off. A
    // thread always counts in the same stripe.
    ReaderStripes readers_;
    // Set while a writer owns the lock or waits for the readers to leave. Changed only under
    // state_.
    std::atomic<bool> write_claimed_{false};

    std::mutex state_;
    std::condition_variable readers_may_enter_;
    std::condition_variable writers_may_go_;
    // Guarded by state_ (a std::mutex, for the condition variables; not checked).
    int waiting_writers_ = 0;  // threads inside WriteLock that do not own it yet
    std::thread::id owner_;    // holder of the write lock, none when free
    int write_depth_ = 0;
};

// Scoped holders of a ReadWriteLock.
class SCOPED_CAPABILITY ReadGuard {
public:
    explicit ReadGuard(ReadWriteLock& lock) ACQUIRE_SHARED(lock) : lock_(lock) { lock_.ReadLock(); }
    ~ReadGuard() RELEASE() { lock_.ReadUnlock(); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

private:
    ReadWriteLock& lock_;
};

class SCOPED_CAPABILITY WriteGuard {
public:
    explicit WriteGuard(ReadWriteLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.WriteLock(); }
    ~WriteGuard() RELEASE() { lock_.WriteUnlock(); }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

private:
    ReadWriteLock& lock_;
};

}  // namespace vell
