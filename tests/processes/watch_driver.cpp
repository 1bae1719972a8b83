#include <unistd.h>

#include "brindle.h"
#include "brindle_watch.h"
#include "driver_output.h"
#include "snapshot_plan.h"

namespace brindle::sharing {

int WatchChanges(const char* path, const std::string& options, const std::atomic<bool>& stop) {
    void* file = nullptr;
    if (const int result = BRN_OpenFile(path, file, ParseOptions(options)); result != BRN_OK) {
        Say("open failed " + std::to_string(result));
        return 2;
    }
    const WatchToken token = Watch(file, kSnapshotMainKey, "", true, [](const Change& change) {
        Say("change " + std::to_string(change.sequence) + " " + ChangeKindName(change.kind) + " " +
            std::to_string(MonotonicNanos()) + " " + change.path + "|" + change.name);
    });
    if (token == 0) {
        Say("watch failed");
        return 3;
    }
    Say("watching");
    while (!stop.load()) {
        usleep(1000);
    }
    Unwatch(token);
    BRN_CloseBRNFHandle(file);
    return 0;
}

}  // namespace brindle::sharing
