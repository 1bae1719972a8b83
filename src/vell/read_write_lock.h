#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vell {

// A read-write lock for host calls. Rules:
// - the write lock is re-entrant: its owner may take it again (and must release it as often);
// - the owner of the write lock may also take read locks on top of it;
// - a reader that finds no writer takes the lock at once; a reader that had to wait for a
//   writer gives way to writers that are already waiting;
// - waiting threads sleep and are woken; nobody polls.
// Callers pair every ReadLock with a ReadUnlock and every WriteLock with a WriteUnlock on the
// same thread, and never ask for the write lock while holding only a read lock.
class ReadWriteLock {
public:
    ReadWriteLock() = default;
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    // True when held. (Waits here cannot fail, so the result is always true.)
    bool ReadLock();
    bool ReadUnlock();
    bool WriteLock();
    // False, changing nothing, when the calling thread does not own the write lock.
    bool WriteUnlock();

private:
    bool OwnedByCaller() const { return owner_ == std::this_thread::get_id(); }
    bool Owned() const { return owner_ != std::thread::id(); }
    void WakeWaiters();

    std::mutex state_;
    std::condition_variable changed_;
    int readers_ = 0;          // read locks held, the owner's own included
    int waiting_writers_ = 0;  // threads inside WriteLock that do not own it yet
    int waiting_readers_ = 0;
    std::thread::id owner_;  // holder of the write lock, none when free
    int write_depth_ = 0;
};

// Scoped holders of a ReadWriteLock.
class ReadGuard {
public:
    explicit ReadGuard(ReadWriteLock& lock) : lock_(lock) { lock_.ReadLock(); }
    ~ReadGuard() { lock_.ReadUnlock(); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

private:
    ReadWriteLock& lock_;
};

class WriteGuard {
public:
    explicit WriteGuard(ReadWriteLock& lock) : lock_(lock) { lock_.WriteLock(); }
    ~WriteGuard() { lock_.WriteUnlock(); }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

private:
    ReadWriteLock& lock_;
};

}  // namespace vell
