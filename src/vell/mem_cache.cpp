#include "vell/mem_cache.h"

#include <cstring>
#include <new>

#include "vell/library_errors.h"

namespace vell {
namespace {

std::unique_ptr<uint8_t[]> NewBlock(uint32_t size) {
    uint8_t* block = new (std::nothrow) uint8_t[size];
    if (block == nullptr) {
        ThrowMemoryError(kMemCacheAllocError);
    }
    return std::unique_ptr<uint8_t[]>(block);
}

}  // namespace

MemCache::MemCache(uint32_t size) {
    if (size > kMaxSize) {
        ThrowMemoryError(kMemCacheAllocError);
    }
    if (size > 0) {
        data_ = NewBlock(size);
        size_ = size;
    }
}

MemCache::MemCache(const MemCache& other) {
    if (other.size_ > 0) {
        data_ = NewBlock(other.size_);
        std::memcpy(data_.get(), other.data_.get(), other.size_);
        size_ = other.size_;
    }
}

MemCache& MemCache::operator=(const MemCache& other) {
    if (this != &other) {
        MemCache copy(other);
        *this = std::move(copy);
    }
    return *this;
}

bool MemCache::Allocate(uint32_t size) {
    if (size > kMaxSize) {
        return false;
    }
    if (size <= size_) {
        return true;
    }
    data_.reset();
    size_ = 0;
    data_ = NewBlock(size);
    size_ = size;
    return true;
}

bool MemCache::Resize(uint32_t size) {
    if (size == 0 || size <= size_) {
        return true;
    }
    if (size > kMaxSize) {
        return false;
    }
    std::unique_ptr<uint8_t[]> grown = NewBlock(size);
    if (size_ > 0) {
        std::memcpy(grown.get(), data_.get(), size_);
    }
    data_ = std::move(grown);
    size_ = size;
    return true;
}

void MemCache::Release() {
    data_.reset();
    size_ = 0;
}

}  // namespace vell
