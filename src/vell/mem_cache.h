#pragma once

#include <cstdint>
#include <memory>

namespace vell {

// A growable work buffer of bytes: record data read out of pages, property records being
// built and property blocks being collected are assembled in one. Sizes are 32-bit; the
// largest is 0xFFFFFFFE bytes. When memory cannot be had the buffer throws MDException
// ("MemoryException").
class MemCache {
public:
    static constexpr uint32_t kMaxSize = 0xFFFFFFFEu;

    MemCache() = default;
    explicit MemCache(uint32_t size);  // contents undefined
    MemCache(const MemCache& other);
    MemCache& operator=(const MemCache& other);
    MemCache(MemCache&&) noexcept = default;
    MemCache& operator=(MemCache&&) noexcept = default;

    // Makes the buffer at least size bytes, dropping its contents when it has to grow.
    bool Allocate(uint32_t size);
    // Grows the buffer to size bytes keeping its contents.
    bool Resize(uint32_t size);
    void Release();

    uint8_t* Data() { return data_.get(); }
    const uint8_t* Data() const { return data_.get(); }
    uint32_t Size() const { return size_; }

private:
    std::unique_ptr<uint8_t[]> data_;
    uint32_t size_ = 0;
};

}  // namespace vell
