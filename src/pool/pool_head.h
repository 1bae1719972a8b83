#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brindle {

inline constexpr uint32_t kPoolHeadSize = 168;
inline constexpr uint32_t kPoolVersion = 0x00090100;

// Pool head flag bits.
inline constexpr uint32_t kHeadEncrypted = 0x40;      // page data areas are enciphered
inline constexpr uint32_t kHeadTempData = 0x80;       // the pool is thrown away when closed
inline constexpr uint32_t kHeadCleanClose = 0x80000;  // the pool was closed in order

// The 168-byte head at the start of every data file. File 1's head describes the whole pool;
// the head of file k > 1 is a copy taken when file k was added, with its own FileNo and the
// number of pages stored in that file as PageCount. Encoded little-endian at fixed offsets.
struct PoolHead {
    uint32_t head_size = kPoolHeadSize;  // 0x00
    uint32_t file_no = 0;                // 0x04
    uint32_t version = kPoolVersion;     // 0x08
    uint32_t flags = 0;                  // 0x0C
    uint32_t head_area_size = 0;         // 0x10, equals the page size
    uint32_t reserved_14 = 0;            // 0x14
    uint32_t page_size = 0;              // 0x18
    uint32_t reserved_1c = 0;            // 0x1C
    uint64_t page_count = 0;             // 0x20
    uint32_t file_count = 0;             // 0x28
    uint32_t max_file_size = 0;          // 0x2C
    uint64_t free_head = 0;              // 0x30
    uint32_t tree_flags = 0;             // 0x38, owned by the tree store
    char file_name[100] = {};            // 0x3C, base name without directory, NUL-terminated
    uint64_t first_queue_page = 0;       // 0xA0, owned by the tree store

    void Encode(uint8_t* out) const;
    // The head as it lies in a file's head area: encoded, zero-filled to head_area_size.
    std::vector<uint8_t> EncodeArea() const;
    static PoolHead Decode(const uint8_t* in);
    // Stores the text after the last '/' or '\' of path (at most 99 characters).
    void SetFileName(const std::string& path);
};

// Where page n lives: with P the page size, M the max file size and U = M - P, X = n * P,
// q = X / U, r = X % U; r == 0 puts the page in file q at U, else in file q + 1 at r. False
// when n is 0, the page lies beyond the last file, or the head's sizes cannot place pages.
bool GetPagePosition(const PoolHead& head, uint64_t page, int& file, uint32_t& position);

}  // namespace brindle
