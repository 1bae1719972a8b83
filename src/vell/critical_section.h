#pragma once

#include <mutex>

namespace vell {

// A lock that the thread holding it may enter again; each Enter needs a matching Leave.
class CriticalSection {
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }
    // Enters when the lock is free or held by the calling thread; never waits.
    bool TryEnter() { return mutex_.try_lock(); }

private:
    std::recursive_mutex mutex_;
};

// Holds a critical section for the lifetime of the guard. Every critical section is taken
// through a guard, so a scope left by an exception always releases it.
class ScopedLock {
public:
    explicit ScopedLock(CriticalSection& section) : section_(section) { section_.Enter(); }
    explicit ScopedLock(CriticalSection* section) : ScopedLock(*section) {}
    ~ScopedLock() { section_.Leave(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CriticalSection& section_;
};

// Tries a critical section once; leaves it at the end only when it got it.
class TryScopedLock {
public:
    explicit TryScopedLock(CriticalSection& section)
        : section_(section), locked_(section.TryEnter()) {}
    explicit TryScopedLock(CriticalSection* section) : TryScopedLock(*section) {}
    ~TryScopedLock() {
        if (locked_) {
            section_.Leave();
        }
    }
    TryScopedLock(const TryScopedLock&) = delete;
    TryScopedLock& operator=(const TryScopedLock&) = delete;

    bool Locked() const { return locked_; }

private:
    CriticalSection& section_;
    bool locked_;
};

}  // namespace vell
