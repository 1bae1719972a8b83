// Reading, listing, appending, editing and deleting the typed properties of a key.

#include <list>
#include <memory>
#include <string>
#include <utility>

#include "api/export_support.h"
#include "api/property_codec.h"
#include "api/status_codes.h"
#include "keys/key_operations.h"
#include "vell/endian.h"
#include "vell/mem_cache.h"

using brindle::BRNHandle;
using brindle::CheckKeyHandle;
using brindle::KeyAccess;
using brindle::KeyOperations;
using brindle::MakeWorkBuffer;
using brindle::NamedValue;
using brindle::PassingOnlyMDException;

namespace {

constexpr uint32_t kPropertyBufferSize = 512;
// In a listing, the area from byte 16 holds its length and count; entries start at 24.
constexpr uint32_t kListingEntries = 24;

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
    const uint32_t count = vell::LoadU32(data + brindle::kPropertyRecordOffset + 4);
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

// The reading exports: the handle checks, then a work buffer that `read` has the key layer
// fill. On BRN_OK `buffer` holds `length` bytes.
template <typename Read>
int ReadIntoBuffer(void* value, int argument_result, const char* export_name,
                   std::unique_ptr<vell::MemCache>& buffer, uint32_t& length, Read&& read) {
    BRNHandle* handle = nullptr;
    const int checked = CheckKeyHandle(value, argument_result, KeyAccess::kRead, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    buffer = MakeWorkBuffer(kPropertyBufferSize);
    if (!buffer) {
        return BRN_ERR_BUFFER;
    }
    length = 0;
    return brindle::InCall(*handle->file->database, export_name, [&] {
        return brindle::ToCode(read(brindle::OperationsOf(*handle), *buffer, length));
    });
}

// Appending and editing: the handle checks, then the record of `name` and `value` is built
// and handed to `store` with the key's operations.
template <typename Store>
int StoreProperty(void* value_handle, const char* export_name, const std::string& name,
                  const vell::VariableData& value, Store&& store) {
    BRNHandle* handle = nullptr;
    const int checked = CheckPropertyChange(value_handle, name, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    return brindle::InCall(*handle->file->database, export_name, [&] {
        std::unique_ptr<vell::MemCache> record;
        uint32_t length = 0;
        const int built = BuildRecord(name, value, record, length);
        if (built != BRN_OK) {
            return built;
        }
        return store(brindle::OperationsOf(*handle), record->Data(), length);
    });
}

}  // namespace

extern "C" {

BRN_EXPORT int BRN_GetKeyProperty(void*& keyHandle, std::string name, vell::VariableData& value) {
    std::unique_ptr<vell::MemCache> buffer;
    uint32_t length = 0;
    const int result = ReadIntoBuffer(
        keyHandle, name.empty() ? BRN_ERR_INVALID_ARGUMENT : BRN_OK, "BRN_GetKeyProperty", buffer,
        length, [&](KeyOperations operations, vell::MemCache& block, uint32_t& size) {
            return operations.GetNodeProperty(name, block, size);
        });
    if (result != BRN_OK) {
        return result;
    }
    try {
        NamedValue property;
        if (length < brindle::kPropertyRecordOffset ||
            !brindle::DecodeProperty(buffer->Data() + brindle::kPropertyRecordOffset,
                                     length - brindle::kPropertyRecordOffset, property)) {
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
    std::unique_ptr<vell::MemCache> buffer;
    uint32_t length = 0;
    const int result =
        ReadIntoBuffer(keyHandle, BRN_OK, "BRN_SelectKeyPropertys", buffer, length,
                       [](KeyOperations operations, vell::MemCache& block, uint32_t& size) {
                           return operations.GetNodeProperties(block, size);
                       });
    if (result != BRN_OK) {
        return result;
    }
    if (length < kListingEntries || length > buffer->Size() ||
        vell::LoadU32(buffer->Data() + brindle::kPropertyRecordOffset) !=
            length - brindle::kPropertyRecordOffset) {
        return BRN_ERR_EXCEPTION;
    }
    try {
        return AppendListedProperties(*buffer, length, properties);
    } catch (...) {
        return BRN_ERR_EXCEPTION;
    }
}

BRN_EXPORT int BRN_AppendProperty(void*& keyHandle, std::string name, vell::VariableData& value) {
    return StoreProperty(
        keyHandle, "BRN_AppendProperty", name, value,
        [&](KeyOperations operations, const uint8_t* record, uint32_t length) {
            return brindle::ToCode(operations.AppendProperty(name, record, length));
        });
}

BRN_EXPORT int BRN_EditProperty(void*& keyHandle, std::string name, vell::VariableData& value) {
    return StoreProperty(keyHandle, "BRN_EditProperty", name, value,
                         [&](KeyOperations operations, const uint8_t* record, uint32_t length) {
                             // The record must read back as a property before it replaces a
                             // stored one.
                             NamedValue check;
                             if (!brindle::DecodeProperty(record, length, check)) {
                                 return BRN_ERR_NO_MEMORY;
                             }
                             return brindle::ToCode(operations.EditProperty(name, record, length));
                         });
}

BRN_EXPORT int BRN_DeleteProperty(void*& keyHandle, std::string name) {
    BRNHandle* handle = nullptr;
    int checked = CheckPropertyChange(keyHandle, name, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    return brindle::InCall(*handle->file->database, "BRN_DeleteProperty", [&] {
        return brindle::ToCode(brindle::OperationsOf(*handle).DeleteProperty(name));
    });
}

}  // extern "C"
