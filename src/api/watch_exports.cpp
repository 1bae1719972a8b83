// Watching a database for committed changes (see brindle_watch.h and ChangeFeed).

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "api/change_feed.h"
#include "api/export_support.h"
#include "brindle_watch.h"

namespace brindle {
namespace {

// Which feed each live token belongs to: Unwatch is given the token alone. A feed that
// stopped (its database closed) is expired here.
struct WatchRegistry {
    std::mutex mutex;
    std::map<WatchToken, std::weak_ptr<ChangeFeed>> feeds;
    std::atomic<WatchToken> last_token{0};
};

WatchRegistry& Registry() {
    static WatchRegistry registry;
    return registry;
}

}  // namespace

const char* ChangeKindName(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::kKeyAdded:
            return "key-added";
        case ChangeKind::kKeyDeleted:
            return "key-deleted";
        case ChangeKind::kKeyRenamed:
            return "key-renamed";
        case ChangeKind::kPropertySet:
            return "property-set";
        case ChangeKind::kPropertyDeleted:
            return "property-deleted";
        case ChangeKind::kResync:
            return "resync";
    }
    return "unknown";
}

WatchToken Watch(void*& fileHandle, const std::string& mainKey, const std::string& path,
                 bool recursive, WatchCallback callback) {
    BRNFHandle* file = nullptr;
    if (CheckHandle(fileHandle, BRN_OK, file) != BRN_OK || !file->feed || !callback) {
        return 0;
    }
    WatchRegistry& registry = Registry();
    const WatchToken token = ++registry.last_token;
    {
        std::lock_guard lock(registry.mutex);
        std::erase_if(registry.feeds, [](const auto& entry) { return entry.second.expired(); });
        registry.feeds[token] = file->feed;
    }
    if (!file->feed->Add(token, WatchFilter{mainKey, path, recursive}, std::move(callback))) {
        std::lock_guard lock(registry.mutex);
        registry.feeds.erase(token);
        return 0;
    }
    return token;
}

bool Unwatch(WatchToken token) {
    std::shared_ptr<ChangeFeed> feed;
    WatchRegistry& registry = Registry();
    {
        std::lock_guard lock(registry.mutex);
        auto it = registry.feeds.find(token);
        if (it == registry.feeds.end()) {
            return false;
        }
        feed = it->second.lock();
        registry.feeds.erase(it);
    }
    // Not under the registry's lock: this may wait for the token's callback, which may
    // itself start or end watches.
    return feed != nullptr && feed->Remove(token);
}

}  // namespace brindle
