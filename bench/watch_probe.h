#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sharing_bench {

// Watches `main_key` of the open database until `stop`; for every property change, reads the
// writer's time stamp with `read_stamp` (the monotonic clock when the writer made the call)
// and keeps how many nanoseconds later the change arrived.
std::vector<int64_t> WatchLatencies(void* file, const std::string& main_key,
                                    const std::function<int64_t()>& read_stamp,
                                    const std::atomic<bool>& stop);

}  // namespace sharing_bench
