#include "watch_probe.h"

#include <time.h>
#include <unistd.h>

#include <mutex>

#include "brindle_watch.h"

namespace sharing_bench {

std::vector<int64_t> WatchLatencies(void* file, const std::string& main_key,
                                    const std::function<int64_t()>& read_stamp,
                                    const std::atomic<bool>& stop) {
    std::mutex mutex;
    std::vector<int64_t> latencies;
    const auto token = brindle::Watch(file, main_key, "", true, [&](const brindle::Change& change) {
        if (change.kind != brindle::ChangeKind::kPropertySet) {
            return;
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t arrived = int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
        const int64_t stamp = read_stamp();
        std::lock_guard lock(mutex);
        if (stamp > 0) {
            latencies.push_back(arrived - stamp);
        }
    });
    while (!stop.load()) {
        usleep(1000);
    }
    brindle::Unwatch(token);
    std::lock_guard lock(mutex);
    return latencies;
}

}  // namespace sharing_bench
