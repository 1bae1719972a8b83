#pragma once

#include <cstdint>

// The layout of an export file (a subtree image). Every integer is a 32-bit little-endian
// word.
//
// Header (kHeaderSize bytes): header size, format version, a reserved word (1), the full
// key path of the exported key in a NUL-padded field, the record-area length (file length
// minus the header) and the checksum of the record area.
//
// Record area: one node record per exported key, depth first (a key, then each of its
// children followed by that child's own subtree), closed by an end record. A node record is
// a 20-byte header (header size 20, flags, property block length, own id, parent's id), the
// NUL-terminated key name and the property block: block length, property count, then per
// property its length L and the L bytes of its stored property record.
namespace brindle::export_image {

inline constexpr uint32_t kHeaderSize = 2068;
inline constexpr uint32_t kVersion = 0x00080304;
inline constexpr uint32_t kReserved = 1;
inline constexpr uint32_t kKeyPathOffset = 12;
inline constexpr uint32_t kKeyPathField = 2048;
inline constexpr uint32_t kAreaLengthOffset = 2060;
inline constexpr uint32_t kChecksumOffset = 2064;

inline constexpr uint32_t kExportRecordHeaderSize = 20;
inline constexpr uint32_t kRecordFlagsOffset = 4;
inline constexpr uint32_t kRecordBlockLengthOffset = 8;
inline constexpr uint32_t kRecordIdOffset = 12;
inline constexpr uint32_t kRecordParentOffset = 16;
// Length and count words that open every property block.
inline constexpr uint32_t kEmptyBlockSize = 8;

// Record flags.
inline constexpr uint32_t kExportRoot = 0x01;
inline constexpr uint32_t kExportFirstChild = 0x02;
inline constexpr uint32_t kExportLeaf = 0x04;
inline constexpr uint32_t kExportFirst = 0x08;
inline constexpr uint32_t kExportLast = 0x10;
inline constexpr uint32_t kExportNotFirst = 0x20;
inline constexpr uint32_t kExportEnd = 0x40;

// Capacity of the scratch segment an image is built in: no image is larger.
inline constexpr uint32_t kScratchCapacity = 0x0C800000;

// The checksum of n bytes: the complement of the sum, modulo 2^32, of the n / 4 leading
// little-endian words plus (n mod 4) times the byte after them. It misses changes to the
// second and third of those trailing bytes; the format is fixed, so it stays.
uint32_t ExportChecksum(const uint8_t* data, uint32_t n);

}  // namespace brindle::export_image
