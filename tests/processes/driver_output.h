#pragma once

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "brindle_codes.h"

namespace brindle::sharing {

// Writes one line to standard output at once, so that it is there even if the process is
// killed right after.
inline void Say(const std::string& text) {
    const std::string line = text + "\n";
    size_t written = 0;
    while (written < line.size()) {
        const ssize_t result = write(STDOUT_FILENO, line.data() + written, line.size() - written);
        if (result <= 0) {
            return;
        }
        written += static_cast<size_t>(result);
    }
}

// The monotonic clock, which every process of the machine shares, in nanoseconds.
inline int64_t MonotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// The open options a driver's argument names: 0, ro or shared.
inline unsigned ParseOptions(const std::string& text) {
    if (text == "ro") {
        return BRN_OPEN_READ_ONLY;
    }
    return text == "shared" ? BRN_OPEN_SHARED : 0;
}

// Watches the main key of the snapshot plan, recursively, until `stop`: "watching" once the
// watch is set, then "change SEQ KIND NS PATH|NAME" per change received (NS: when it came).
int WatchChanges(const char* path, const std::string& options, const std::atomic<bool>& stop);

}  // namespace brindle::sharing
