#pragma once

#include <cstddef>
#include <cstdint>

namespace brindle {

// The page cipher: a byte-wise XOR of a page's data area with a fixed 512-byte key, aligned
// from the end of the region. It is its own inverse, so the same call enciphers and
// deciphers. It hides keys and values from a casual look at the files; it is not encryption.
class PageCipher {
public:
    static constexpr size_t kKeySize = 512;

    // False (nothing done) when buffer is null.
    static bool Encipher(void* buffer, size_t length);
    // Writes the transformed source into destination; false when either is null.
    static bool EncipherCopy(const void* source, void* destination, size_t length);
    // The key byte at index (mod 512), for checks of the format.
    static uint8_t KeyByte(size_t index);
};

}  // namespace brindle
