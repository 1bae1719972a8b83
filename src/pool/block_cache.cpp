#include "pool/block_cache.h"

#include <algorithm>
#include <new>

namespace brindle {

BlockCache::~BlockCache() {
    for (auto& entry : in_use_) {
        delete[] static_cast<uint8_t*>(entry.first);
    }
}

uint8_t* BlockCache::MakeBlock() {
    uint8_t* block = new (std::nothrow) uint8_t[block_size_];
    if (block != nullptr) {
        in_use_.emplace(block, false);
    }
    return block;
}

void BlockCache::DestroyBlock(uint8_t* block) {
    in_use_.erase(block);
    delete[] block;
}

bool BlockCache::Init(uint32_t initial, size_t block_size, uint32_t maximum, uint32_t keep_free) {
    vell::MutexLock lock(lock_);
    if (block_size != 0) {
        block_size_ = block_size;
    }
    maximum_ = maximum;
    keep_free_ = keep_free;
    if (initial == 0 || block_size == 0) {
        return true;
    }
    uint32_t count = std::min(initial, keep_free);
    if (maximum != 0) {
        count = std::min(count, maximum);
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t* block = MakeBlock();
        if (block == nullptr) {
            return false;
        }
        free_.push_back(block);
    }
    return true;
}

void* BlockCache::Get() {
    vell::MutexLock lock(lock_);
    if (block_size_ == 0) {
        return nullptr;
    }
    uint8_t* block = nullptr;
    if (!free_.empty()) {
        block = free_.back();
        free_.pop_back();
    } else if (maximum_ == 0 || in_use_.size() + 1 < maximum_) {
        block = MakeBlock();
        if (block == nullptr) {
            return nullptr;
        }
    } else {
        return nullptr;
    }
    in_use_[block] = true;
    return block;
}

bool BlockCache::Release(void* block) {
    vell::MutexLock lock(lock_);
    auto found = in_use_.find(block);
    if (found == in_use_.end() || !found->second) {
        return false;
    }
    found->second = false;
    if (free_.size() < keep_free_) {
        free_.push_back(static_cast<uint8_t*>(block));
    } else {
        DestroyBlock(static_cast<uint8_t*>(block));
    }
    return true;
}

size_t BlockCache::BlockSize() const {
    vell::MutexLock lock(lock_);
    return block_size_;
}

size_t BlockCache::TotalBlocks() const {
    vell::MutexLock lock(lock_);
    return in_use_.size();
}

size_t BlockCache::FreeBlocks() const {
    vell::MutexLock lock(lock_);
    return free_.size();
}

}  // namespace brindle
