// Reading, listing, appending, editing and deleting the typed properties of a key.

#include <list>
#include <memory>
#include <string>
#include <utility>

#include "api/export_support.h"
#include "api/property_codec.h"
#include "vell/endian.h"
#include "vell/mem_cache.h"

using brindle::BRNHandle;
using brindle::CheckKeyHandle;
using brindle::KeyAccess;
using brindle::NamedValue;
using brindle::PassingOnlyMDException;

namespace {

constexpr uint32_t kPropertyBufferSize = 512;
// Record data starts here in the work buffer handed back by the key layer.
constexpr uint32_t kRecordOffset = 16;
// In a listing, the area from byte 16 holds its length and count; entries start at 24.
constexpr uint32_t kListingEntries = 24;

std::unique_ptr<vell::MemCache> MakeWorkBuffer(uint32_t size) {
    try {
        return std::make_unique<vell::MemCache>(size);
    } catch (...) {
        return nullptr;
    }
}

// The property record of `name` and `value`, built once before any lock is taken.
// BRN_OK, 110 when no buffer can be had, or 111 when the record cannot be built.
int BuildRecord(const std::string& name, const vell::VariableData& value,
                std::unique_ptr<vell::MemCache>& record, uint32_t& length) {
    NamedValue property(name, value);
    length = 0;
    if (!brindle::EncodeProperty(property, nullptr, length)) {
        return BRN_ERR_ENCODE;
    }
    record = MakeWorkBuffer(length);
    if (!record) {
        return BRN_ERR_BUFFER;
    }
    return brindle::EncodeProperty(property, record->Data(), length) ? BRN_OK : BRN_ERR_ENCODE;
}

// Decodes the listed records (from byte 24 of the block) onto the end of properties.
int AppendListedProperties(const vell::MemCache& block, uint32_t length,
                           std::list<std::pair<std::string, vell::VariableData>>& properties) {
    const uint8_t* data = block.Data();
    const uint32_t count = vell::LoadU32(data + kRecordOffset + 4);
    uint32_t at = kListingEntries;
    for (uint32_t i = 0; i < count; ++i) {
        if (length - at < 4) {
            return BRN_ERR_EXCEPTION;
        }
        const uint32_t size = vell::LoadU32(data + at);
        if (length - at - 4 < size) {
            return BRN_ERR_EXCEPTION;
        }
        std::unique_ptr<NamedValue> property(new (std::nothrow) NamedValue);
        if (!property) {
            return BRN_ERR_BUFFER;
        }
        if (!brindle::DecodeProperty(data + at + 4, size, *property)) {
            return BRN_ERR_EXCEPTION;
        }
        properties.push_back(*property);
        at += 4 + size;
    }
    return BRN_OK;
}

int CheckPropertyChange(void* value, const std::string& name, BRNHandle*& handle) {
    return CheckKeyHandle(value, brindle::CheckName(name), KeyAccess::kChange, handle);
}

}  // namespace

extern "C" {

BRN_EXPORT int BRN_GetKeyProperty(void*& keyHandle, std::string name, vell::VariableData& value) {
    BRNHandle* handle = nullptr;
    int arguments = name.empty() ? BRN_ERR_INVALID_ARGUMENT : BRN_OK;
    int checked = CheckKeyHandle(keyHandle, arguments, KeyAccess::kRead, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    std::unique_ptr<vell::MemCache> buffer = MakeWorkBuffer(kPropertyBufferSize);
    if (!buffer) {
        return BRN_ERR_BUFFER;
    }
    uint32_t length = 0;
    int result = PassingOnlyMDException("BRN_GetKeyProperty", [&] {
        return brindle::OperationsOf(*handle).GetNodeProperty(name, *buffer, length);
    });
    if (result != BRN_OK) {
        return result;
    }
    try {
        NamedValue property;
        if (length < kRecordOffset || !brindle::DecodeProperty(buffer->Data() + kRecordOffset,
                                                               length - kRecordOffset, property)) {
            return BRN_ERR_BAD_VALUE;
        }
        value = property.second;
    } catch (...) {
        return BRN_ERR_EXCEPTION;
    }
    return BRN_OK;
}

BRN_EXPORT int BRN_SelectKeyPropertys(
    void*& keyHandle, std::list<std::pair<std::string, vell::VariableData>>& properties) {
    BRNHandle* handle = nullptr;
    int checked = CheckKeyHandle(keyHandle, BRN_OK, KeyAccess::kRead, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    std::unique_ptr<vell::MemCache> buffer = MakeWorkBuffer(kPropertyBufferSize);
    if (!buffer) {
        return BRN_ERR_BUFFER;
    }
    uint32_t length = 0;
    int result = PassingOnlyMDException("BRN_SelectKeyPropertys", [&] {
        return brindle::OperationsOf(*handle).GetNodeProperties(*buffer, length);
    });
    if (result != BRN_OK) {
        return result;
    }
    if (length < kListingEntries || length > buffer->Size() ||
        vell::LoadU32(buffer->Data() + kRecordOffset) != length - kRecordOffset) {
        return BRN_ERR_EXCEPTION;
    }
    try {
        return AppendListedProperties(*buffer, length, properties);
    } catch (...) {
        return BRN_ERR_EXCEPTION;
    }
}

BRN_EXPORT int BRN_AppendProperty(void*& keyHandle, std::string name, vell::VariableData& value) {
    BRNHandle* handle = nullptr;
    int checked = CheckPropertyChange(keyHandle, name, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    return PassingOnlyMDException("BRN_AppendProperty", [&] {
        std::unique_ptr<vell::MemCache> record;
        uint32_t length = 0;
        int built = BuildRecord(name, value, record, length);
        if (built != BRN_OK) {
            return built;
        }
        return brindle::OperationsOf(*handle).AppendProperty(name, record->Data(), length);
    });
}

BRN_EXPORT int BRN_EditProperty(void*& keyHandle, std::string name, vell::VariableData& value) {
    BRNHandle* handle = nullptr;
    int checked = CheckPropertyChange(keyHandle, name, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    return PassingOnlyMDException("BRN_EditProperty", [&] {
        std::unique_ptr<vell::MemCache> record;
        uint32_t length = 0;
        int built = BuildRecord(name, value, record, length);
        if (built != BRN_OK) {
            return built;
        }
        // The record must read back as a property before it replaces a stored one.
        NamedValue check;
        if (!brindle::DecodeProperty(record->Data(), length, check)) {
            return BRN_ERR_NO_MEMORY;
        }
        return brindle::OperationsOf(*handle).EditProperty(name, record->Data(), length);
    });
}

BRN_EXPORT int BRN_DeleteProperty(void*& keyHandle, std::string name) {
    BRNHandle* handle = nullptr;
    int checked = CheckPropertyChange(keyHandle, name, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    return PassingOnlyMDException(
        "BRN_DeleteProperty", [&] { return brindle::OperationsOf(*handle).DeleteProperty(name); });
}

}  // extern "C"
