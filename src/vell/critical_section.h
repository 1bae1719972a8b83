#pragma once

#include <mutex>

namespace vell {

// The lock of the pool's and the files' shared state: the thread holding it may enter again.
// Always taken through a ScopedLock, so that a scope left by an exception releases it.
using CriticalSection = std::recursive_mutex;
using ScopedLock = std::lock_guard<CriticalSection>;

}  // namespace vell
