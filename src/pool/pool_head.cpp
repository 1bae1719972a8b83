#include "pool/pool_head.h"

#include <algorithm>
#include <cstring>

#include "vell/endian.h"

namespace brindle {

using vell::LoadU32;
using vell::LoadU64;
using vell::StoreU32;
using vell::StoreU64;

void PoolHead::Encode(uint8_t* out) const {
    std::memset(out, 0, kPoolHeadSize);
    StoreU32(out + 0x00, head_size);
    StoreU32(out + 0x04, file_no);
    StoreU32(out + 0x08, version);
    StoreU32(out + 0x0C, flags);
    StoreU32(out + 0x10, head_area_size);
    StoreU32(out + 0x14, reserved_14);
    StoreU32(out + 0x18, page_size);
    StoreU32(out + 0x1C, reserved_1c);
    StoreU64(out + 0x20, page_count);
    StoreU32(out + 0x28, file_count);
    StoreU32(out + 0x2C, max_file_size);
    StoreU64(out + 0x30, free_head);
    StoreU32(out + 0x38, tree_flags);
    std::memcpy(out + 0x3C, file_name, sizeof(file_name));
    StoreU64(out + 0xA0, first_queue_page);
}

PoolHead PoolHead::Decode(const uint8_t* in) {
    PoolHead head;
    head.head_size = LoadU32(in + 0x00);
    head.file_no = LoadU32(in + 0x04);
    head.version = LoadU32(in + 0x08);
    head.flags = LoadU32(in + 0x0C);
    head.head_area_size = LoadU32(in + 0x10);
    head.reserved_14 = LoadU32(in + 0x14);
    head.page_size = LoadU32(in + 0x18);
    head.reserved_1c = LoadU32(in + 0x1C);
    head.page_count = LoadU64(in + 0x20);
    head.file_count = LoadU32(in + 0x28);
    head.max_file_size = LoadU32(in + 0x2C);
    head.free_head = LoadU64(in + 0x30);
    head.tree_flags = LoadU32(in + 0x38);
    std::memcpy(head.file_name, in + 0x3C, sizeof(head.file_name));
    head.file_name[sizeof(head.file_name) - 1] = '\0';
    head.first_queue_page = LoadU64(in + 0xA0);
    return head;
}

void PoolHead::SetFileName(const std::string& path) {
    size_t separator = path.find_last_of("/\\");
    std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
    std::memset(file_name, 0, sizeof(file_name));
    std::memcpy(file_name, name.data(), name.size() < 99 ? name.size() : 99);
}

std::vector<uint8_t> PoolHead::EncodeArea() const {
    std::vector<uint8_t> area(std::max<uint32_t>(head_area_size, kPoolHeadSize), 0);
    Encode(area.data());
    area.resize(head_area_size);
    return area;
}

bool GetPagePosition(const PoolHead& head, uint64_t page, int& file, uint32_t& position) {
    const uint64_t page_size = head.page_size;
    const uint64_t max_file_size = head.max_file_size;
    if (page == 0 || page_size == 0 || max_file_size <= page_size) {
        return false;
    }
    const uint64_t usable = max_file_size - page_size;
    const uint64_t offset = page * page_size;
    const uint64_t quotient = offset / usable;
    const uint64_t remainder = offset % usable;
    if (quotient > head.file_count || (remainder != 0 && quotient + 1 > head.file_count)) {
        return false;
    }
    if (remainder == 0) {
        file = static_cast<int>(quotient);
        position = static_cast<uint32_t>(usable);
    } else {
        file = static_cast<int>(quotient + 1);
        position = static_cast<uint32_t>(remainder);
    }
    return true;
}

}  // namespace brindle
