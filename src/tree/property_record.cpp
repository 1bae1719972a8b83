#include "tree/property_record.h"

#include <cstring>
#include <limits>

#include "vell/endian.h"

namespace brindle {
namespace {

// Bytes of a record besides the name and the value: the length word and the name's NUL.
constexpr uint64_t kRecordOverhead = 5;

}  // namespace

bool EncodeProperty(const NamedValue& property, uint8_t* buffer, uint32_t& size) {
    const std::string& name = property.first;
    if (name.empty() || name.find('\0') != std::string::npos) {
        return false;
    }
    const int value_size = property.second.GetBinarySize();
    const uint64_t total =
        uint64_t{static_cast<uint32_t>(value_size)} + name.size() + kRecordOverhead;
    if (value_size < 1 || total > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        return false;
    }
    if (buffer == nullptr) {
        size = static_cast<uint32_t>(total);
        return true;
    }
    if (size < total) {
        return false;
    }
    vell::StoreU32(buffer, static_cast<uint32_t>(total));
    std::memcpy(buffer + 4, name.c_str(), name.size() + 1);
    const uint64_t value_offset = name.size() + kRecordOverhead;
    int room = value_size;  // size >= total leaves exactly this much after the name
    if (property.second.ToBinary(buffer + value_offset, room) == nullptr) {
        return false;
    }
    size = static_cast<uint32_t>(total);
    return true;
}

bool DecodeProperty(const uint8_t* record, uint32_t length, NamedValue& property) {
    try {
        if (record == nullptr || length < 4 || vell::LoadU32(record) != length) {
            return false;
        }
        const void* end_of_name = std::memchr(record + 4, '\0', length - 4);
        if (end_of_name == nullptr) {
            return false;
        }
        const uint32_t name_length =
            static_cast<uint32_t>(static_cast<const uint8_t*>(end_of_name) - (record + 4));
        const uint32_t value_offset = name_length + static_cast<uint32_t>(kRecordOverhead);
        property.first.assign(reinterpret_cast<const char*>(record + 4), name_length);
        if (length - value_offset > static_cast<uint32_t>(std::numeric_limits<int>::max())) {
            return false;
        }
        return property.second.FromBinary(record + value_offset,
                                          static_cast<int>(length - value_offset));
    } catch (...) {
        return false;
    }
}

}  // namespace brindle
