#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <shared_mutex>
#include <unordered_map>

#include "vell/striped_shared_mutex.h"

namespace brindle {

class Page;

// The pages the pool holds in memory, pinned or cached, found by number in O(1).
//
// The table is split into shards by page number, each a hash map under a read-mostly lock of
// its own. Finding and pinning a resident page, and dropping a pin that leaves a cached
// page resident, take a shard's lock shared, so readers on different threads never wait for
// each other. Entering, removing and freeing a page take it exclusively; a page whose pin
// count is 0 can therefore only be freed while nobody holds its shard's lock shared.
class PageTable {
public:
    static constexpr size_t kShardCount = 64;

    struct Shard {
        mutable vell::StripedSharedMutex lock;
        std::unordered_map<uint64_t, Page*> pages;
        // Raised whenever a page leaves the shard, so that a page read from the files
        // without the lock is entered only when no newer copy came and went meanwhile.
        std::atomic<uint64_t> removals{0};
    };

    PageTable() = default;
    PageTable(const PageTable&) = delete;
    PageTable& operator=(const PageTable&) = delete;

    Shard& ShardOf(uint64_t number) { return shards_[number % kShardCount]; }

    // Every shard, for walks over all resident pages (each to be locked by the walker).
    std::array<Shard, kShardCount>& Shards() { return shards_; }

    // The resident page of that number, or null. The caller holds the shard's lock.
    static Page* Find(const Shard& shard, uint64_t number) {
        auto found = shard.pages.find(number);
        return found == shard.pages.end() ? nullptr : found->second;
    }

private:
    std::array<Shard, kShardCount> shards_;
};

}  // namespace brindle
