// Built instead of watch_driver.cpp while the library has no watch exports.
#include "driver_output.h"

namespace brindle::sharing {

int WatchChanges(const char*, const std::string&, const std::atomic<bool>&) {
    Say("watch not built");
    return 64;
}

}  // namespace brindle::sharing
