#pragma once

#include <cstddef>
#include <cstdint>

namespace vell {

// CRC-32C (Castagnoli) of `length` bytes, continuing from `crc` (0 to start). Uses the
// processor's CRC instruction where it has one.
uint32_t Crc32c(const void* data, size_t length, uint32_t crc = 0);

}  // namespace vell
