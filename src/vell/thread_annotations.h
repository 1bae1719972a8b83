#pragma once

#include <mutex>
#include <shared_mutex>

// Clang's thread-safety attributes, so that the compiler checks which lock guards what and
// which functions need which lock held. They expand to nothing under other compilers; the
// clang build with -Wthread-safety makes every violation an error.
#if defined(__clang__)
#define BRN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define BRN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) BRN_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY BRN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) BRN_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) BRN_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) BRN_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) BRN_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) BRN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) BRN_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) BRN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) BRN_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) BRN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) BRN_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) BRN_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) BRN_THREAD_ANNOTATION(assert_capability(x))
#define TRY_ACQUIRE(...) BRN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) BRN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) BRN_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS BRN_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace vell {

// A std::mutex the analysis knows as a capability.
class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
    std::mutex& native() { return mutex_; }

private:
    std::mutex mutex_;
};

// Holds a Mutex for a scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
};

// Holds a Mutex for a scope when it can be had at once; Owns() says whether it was.
class SCOPED_CAPABILITY MutexTryLock {
public:
    explicit MutexTryLock(Mutex& mutex) TRY_ACQUIRE(true, mutex)
        : mutex_(mutex), owns_(mutex.try_lock()) {}
    ~MutexTryLock() RELEASE() {
        if (owns_) {
            mutex_.unlock();
        }
    }
    MutexTryLock(const MutexTryLock&) = delete;
    MutexTryLock& operator=(const MutexTryLock&) = delete;
    bool Owns() const { return owns_; }

private:
    Mutex& mutex_;
    bool owns_;
};

}  // namespace vell
