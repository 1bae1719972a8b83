#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "api/change_feed.h"
#include "keys/common_tree.h"
#include "keys/config_record.h"
#include "keys/main_key_info.h"

namespace brindle {

// The file handle: one open database. Owns the database object, the configuration record it
// was opened with and the database's change feed; the database keeps a pointer to the record,
// so the record is declared first and outlives it. Closing stops the feed (its watches end
// and its thread is joined) while the database is still whole.
struct BRNFHandle {
    BRNFHandle() = default;
    ~BRNFHandle() {
        if (feed) {
            feed->Stop();
        }
    }
    BRNFHandle(const BRNFHandle&) = delete;
    BRNFHandle& operator=(const BRNFHandle&) = delete;

    std::unique_ptr<ConfigRecord> configuration;
    // Shared with Unwatch calls that found a watch of it.
    std::shared_ptr<ChangeFeed> feed;
    std::unique_ptr<CommonTree> database;
    std::string path;
};

// The key handle: one node of the tree, reached through its file handle. Owns nothing of
// the database; must not outlive its file handle. Unresolved (no main key, node 0) until
// an open succeeds.
struct BRNHandle {
    BRNFHandle* file = nullptr;
    MainKeyInfo* main_key = nullptr;
    uint64_t node = 0;
    std::string main_key_name;
    std::string path;
    uint32_t mode = 0;
};

// The handle value that means "no handle": all bits set.
inline void* NoHandle() {
    return reinterpret_cast<void*>(~uintptr_t{0});
}
inline bool IsNoHandle(const void* value) {
    return reinterpret_cast<uintptr_t>(value) == ~uintptr_t{0};
}

}  // namespace brindle
