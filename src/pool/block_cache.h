#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vell/thread_annotations.h"

namespace brindle {

// A store of equal-sized memory blocks, made in advance and kept after release, so that
// steady-state page traffic allocates nothing. Thread-safe.
class BlockCache {
public:
    BlockCache() = default;
    ~BlockCache();
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;

    // Makes min(initial, maximum when not 0, keep_free) blocks of block_size bytes. With
    // initial or block_size 0 nothing is made (the block size is still remembered when not 0).
    bool Init(uint32_t initial, size_t block_size, uint32_t maximum, uint32_t keep_free)
        EXCLUDES(lock_);
    // A block, or null when the maximum is reached or memory is out.
    void* Get() EXCLUDES(lock_);
    // Gives a block back; false for a block this cache did not hand out.
    bool Release(void* block) EXCLUDES(lock_);

    size_t BlockSize() const EXCLUDES(lock_);
    size_t TotalBlocks() const EXCLUDES(lock_);
    size_t FreeBlocks() const EXCLUDES(lock_);

private:
    uint8_t* MakeBlock() REQUIRES(lock_);
    void DestroyBlock(uint8_t* block) REQUIRES(lock_);

    // A leaf lock: nothing else is taken under it.
    mutable vell::Mutex lock_;
    size_t block_size_ GUARDED_BY(lock_) = 0;
    uint32_t maximum_ GUARDED_BY(lock_) = 0;
    uint32_t keep_free_ GUARDED_BY(lock_) = 0;
    std::unordered_map<void*, bool> in_use_ GUARDED_BY(lock_);  // every block made, by address
    std::vector<uint8_t*> free_ GUARDED_BY(lock_);
};

// A block held for a scope: given back to its cache at the end of the scope unless Release
// hands it on. Empty (false) when the cache had none to give.
class HeldBlock {
public:
    explicit HeldBlock(BlockCache& cache) : cache_(cache), block_(cache.Get()) {}
    ~HeldBlock() {
        if (block_ != nullptr) {
            cache_.Release(block_);
        }
    }
    HeldBlock(HeldBlock&& other) noexcept
        : cache_(other.cache_), block_(std::exchange(other.block_, nullptr)) {}
    HeldBlock(const HeldBlock&) = delete;
    HeldBlock& operator=(const HeldBlock&) = delete;
    HeldBlock& operator=(HeldBlock&&) = delete;

    uint8_t* get() const { return static_cast<uint8_t*>(block_); }
    explicit operator bool() const { return block_ != nullptr; }
    // The block is the caller's to give back now.
    void* Release() { return std::exchange(block_, nullptr); }

private:
    BlockCache& cache_;
    void* block_;
};

}  // namespace brindle
