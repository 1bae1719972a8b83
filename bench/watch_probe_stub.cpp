// Built instead of watch_probe.cpp while the library has no watch exports.
#include "watch_probe.h"

namespace sharing_bench {

bool WatchBuilt() {
    return false;
}

std::vector<int64_t> WatchLatencies(void*, const std::string&, const std::function<int64_t()>&,
                                    const std::atomic<bool>&) {
    return {};
}

}  // namespace sharing_bench
