#include "vell/checksum.h"

#include <array>
#include <cstring>

namespace vell {
namespace {

constexpr uint32_t kPolynomial = 0x82F63B78u;  // reflected Castagnoli polynomial

constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? (crc >> 1) ^ kPolynomial : crc >> 1;
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

uint32_t ByTable(const uint8_t* bytes, size_t length, uint32_t crc) {
    for (size_t i = 0; i < length; ++i) {
        crc = kTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    }
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t ByInstruction(const uint8_t* bytes, size_t length,
                                                         uint32_t crc) {
    uint64_t wide = crc;
    while (length >= 8) {
        uint64_t word;
        std::memcpy(&word, bytes, 8);
        wide = __builtin_ia32_crc32di(wide, word);
        bytes += 8;
        length -= 8;
    }
    crc = static_cast<uint32_t>(wide);
    while (length > 0) {
        crc = __builtin_ia32_crc32qi(crc, *bytes++);
        --length;
    }
    return crc;
}

bool HasInstruction() {
    static const bool has = __builtin_cpu_supports("sse4.2");
    return has;
}
#endif

}  // namespace

uint32_t Crc32c(const void* data, size_t length, uint32_t crc) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    crc = ~crc;
#if defined(__x86_64__)
    if (HasInstruction()) {
        return ~ByInstruction(bytes, length, crc);
    }
#endif
    return ~ByTable(bytes, length, crc);
}

}  // namespace vell
