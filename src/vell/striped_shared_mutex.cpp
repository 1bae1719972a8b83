#include "vell/striped_shared_mutex.h"

#include <thread>

namespace vell {

size_t ThisThreadStripe() {
    static std::atomic<size_t> next{0};
    thread_local const size_t stripe =
        next.fetch_add(1, std::memory_order_relaxed) % kReaderStripes;
    return stripe;
}

bool AnyReaders(const ReaderStripes& stripes) {
    for (const ReaderStripe& stripe : stripes) {
        if (stripe.readers.load(std::memory_order_seq_cst) != 0) {
            return true;
        }
    }
    return false;
}

// The reader counts itself in before it looks at the claim, and the writer claims before it
// looks at the counts; both sequentially consistent, so at least one of the two sees the other.
void StripedSharedMutex::lock_shared() {
    std::atomic<int>& readers = stripes_[ThisThreadStripe()].readers;
    for (;;) {
        readers.fetch_add(1, std::memory_order_seq_cst);
        if (!claimed_.load(std::memory_order_seq_cst)) {
            return;
        }
        readers.fetch_sub(1, std::memory_order_seq_cst);
        claimed_.wait(true, std::memory_order_seq_cst);
    }
}

void StripedSharedMutex::unlock_shared() {
    stripes_[ThisThreadStripe()].readers.fetch_sub(1, std::memory_order_release);
}

void StripedSharedMutex::lock() {
    writers_.lock();
    claimed_.store(true, std::memory_order_seq_cst);
    while (AnyReaders(stripes_)) {
        std::this_thread::yield();
    }
}

bool StripedSharedMutex::try_lock() {
    if (!writers_.try_lock()) {
        return false;
    }
    claimed_.store(true, std::memory_order_seq_cst);
    if (!AnyReaders(stripes_)) {
        return true;
    }
    unlock();
    return false;
}

void StripedSharedMutex::unlock() {
    claimed_.store(false, std::memory_order_seq_cst);
    claimed_.notify_all();
    writers_.unlock();
}

}  // namespace vell
