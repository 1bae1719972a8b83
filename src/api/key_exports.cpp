// Opening and moving key handles, listing sub keys and main keys, and creating, renaming
// and deleting keys.

#include <cstring>
#include <list>
#include <memory>
#include <new>
#include <string>

#include "api/export_support.h"
#include "api/status_codes.h"
#include "keys/open_key.h"
#include "vell/endian.h"
#include "vell/mem_cache.h"
#include "vell/output.h"

using brindle::BRNFHandle;
using brindle::BRNHandle;
using brindle::CheckHandle;
using brindle::CheckKeyHandle;
using brindle::KeyAccess;
using brindle::PassingOnlyMDException;

namespace {

constexpr uint32_t kSubKeyBufferSize = 1024;
constexpr uint32_t kMainKeyBufferSize = 512;
// Mode bits that change main keys; a handle cannot be moved with them.
constexpr unsigned int kMainKeyOperations = MODE_CREATE | MODE_DELETE | MODE_RENAME;

// Appends the names of a block (32-bit total length, 32-bit count, then the names with
// their NULs) to names. Names that would run past `length` are not read.
int AppendNames(const vell::MemCache& block, uint32_t length, std::list<std::string>& names) {
    const uint8_t* data = block.Data();
    if (length < 8 || length > block.Size()) {
        return BRN_ERR_EXCEPTION;
    }
    const uint32_t count = vell::LoadU32(data + 4);
    uint32_t at = 8;
    for (uint32_t i = 0; i < count && at < length; ++i) {
        const void* end = std::memchr(data + at, '\0', length - at);
        if (end == nullptr) {
            return BRN_ERR_EXCEPTION;
        }
        const uint32_t size = static_cast<uint32_t>(static_cast<const uint8_t*>(end) - (data + at));
        try {
            names.emplace_back(reinterpret_cast<const char*>(data + at), size);
        } catch (...) {
            return BRN_ERR_BUFFER;
        }
        at += size + 1;
    }
    return BRN_OK;
}

// The listing exports: the handle checks (a handle without a main key is let through), then a
// work buffer of `size` bytes that `fill` writes a block of names into, handing back a result
// code and the block's length, then the names appended to `names`.
template <typename Fill>
int ListNames(void* value, const char* export_name, uint32_t size, std::list<std::string>& names,
              Fill&& fill) {
    BRNHandle* handle = nullptr;
    const int checked = CheckHandle(value, BRN_OK, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    return brindle::InCall(*handle->file->database, export_name, [&] {
        std::unique_ptr<vell::MemCache> block = brindle::MakeWorkBuffer(size);
        if (!block) {
            return BRN_ERR_BUFFER;
        }
        uint32_t length = 0;
        const int result = fill(*handle, *block, length);
        if (result != BRN_OK) {
            return result;
        }
        return AppendNames(*block, length, names);
    });
}

// Moves the handle to the child named `path` of its current node.
int MoveToChild(BRNHandle& handle, const std::string& path, unsigned int mode) {
    brindle::CommonTree& database = *handle.file->database;
    vell::ReadGuard guard(handle.main_key->key_lock);
    uint64_t child = 0;
    if (handle.main_key->Dropped() || !database.Tree()->GetSubNodeIndex(handle.node, path, child)) {
        vell::OutputText("GetSubNodeIndex failed,:" + path);
        handle.mode = mode;
        return BRN_ERR_KEY_NOT_FOUND;
    }
    handle.node = child;
    if (!handle.path.empty()) {
        handle.path += (mode & MODE_DOTTED) != 0 ? "." : "\\";
    }
    handle.path += path;
    handle.mode = mode;
    return BRN_OK;
}

// Moves the handle to the key at `path` below its main key, looked up again by name.
int MoveFromMainKey(BRNHandle& handle, const std::string& path, unsigned int mode) {
    brindle::MainKeyInfo* record = handle.main_key;
    uint64_t node = handle.node;
    const int result = brindle::ToCode(
        brindle::OpenKey(*handle.file->database, handle.main_key_name, path, record, node, mode));
    if (result == BRN_OK) {
        handle.main_key = record;
        handle.node = node;
        handle.path = path;
        handle.mode = mode;
    }
    return result;
}

}  // namespace

extern "C" {

BRN_EXPORT int BRN_OpenKey(void*& fileHandle, void*& keyHandle, std::string mainKey,
                           std::string path, unsigned int mode) {
    const bool valid_names =
        brindle::CheckName(mainKey) == BRN_OK && path.size() <= brindle::kMaxNameLength;
    BRNFHandle* file = nullptr;
    const int checked =
        CheckHandle(fileHandle, valid_names ? BRN_OK : BRN_ERR_INVALID_ARGUMENT, file);
    // Refused arguments leave the key handle as it was; from here on it is reset.
    if (checked == BRN_ERR_INVALID_ARGUMENT) {
        return checked;
    }
    keyHandle = brindle::NoHandle();
    if (checked != BRN_OK) {
        return checked;
    }
    return brindle::InCall(*file->database, "BRN_OpenKey", [&] {
        std::unique_ptr<BRNHandle> handle(new (std::nothrow) BRNHandle);
        if (!handle) {
            return BRN_ERR_NO_MEMORY;
        }
        handle->file = file;
        handle->mode = mode;
        const int result = brindle::ToCode(
            brindle::OpenKey(*file->database, mainKey, path, handle->main_key, handle->node, mode));
        if (result == BRN_OK) {
            handle->main_key_name = mainKey;
            handle->path = path;
        }
        keyHandle = handle.release();
        return result;
    });
}

BRN_EXPORT int BRN_ReopenSubKey(void*& keyHandle, std::string path, unsigned int mode) {
    int arguments = BRN_OK;
    if (path.size() > brindle::kMaxNameLength) {
        arguments = BRN_ERR_INVALID_ARGUMENT;
    } else if ((mode & kMainKeyOperations) != 0) {
        arguments = BRN_ERR_BAD_MODE;
    }
    BRNHandle* handle = nullptr;
    int checked = CheckKeyHandle(keyHandle, arguments, KeyAccess::kRead, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    return brindle::InCall(*handle->file->database, "BRN_ReopenSubKey", [&] {
        return (mode & MODE_CHILD) != 0 ? MoveToChild(*handle, path, mode)
                                        : MoveFromMainKey(*handle, path, mode);
    });
}

BRN_EXPORT int BRN_SelectSubKeys(void*& keyHandle, std::list<std::string>& names) {
    return ListNames(
        keyHandle, "BRN_SelectSubKeys", kSubKeyBufferSize, names,
        [](BRNHandle& handle, vell::MemCache& block, uint32_t& length) {
            return brindle::ToCode(brindle::OperationsOf(handle).GetSubKeyNames(block, length));
        });
}

BRN_EXPORT int BRN_GetAllMainKeys(void*& keyHandle, std::list<std::string>& names) {
    return ListNames(keyHandle, "BRN_GetAllMainKeys", kMainKeyBufferSize, names,
                     [](BRNHandle& handle, vell::MemCache& block, uint32_t& length) {
                         uint32_t count = 0;
                         handle.file->database->GetAllMainKeys(block, length, count);
                         return vell::LoadU32(block.Data()) == length ? BRN_OK : BRN_ERR_EXCEPTION;
                     });
}

BRN_EXPORT int BRN_AppendSubKey(void*& keyHandle, std::string& name) {
    int arguments = name.size() > brindle::kMaxNameLength ? BRN_ERR_INVALID_ARGUMENT : BRN_OK;
    BRNHandle* handle = nullptr;
    int checked = CheckKeyHandle(keyHandle, arguments, KeyAccess::kChange, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    return brindle::InCall(*handle->file->database, "BRN_AppendSubKey", [&] {
        std::string child = name;
        const int result = brindle::ToCode(brindle::OperationsOf(*handle).AppendSubKey(child));
        if (result == BRN_OK) {
            name = child;
        }
        return result;
    });
}

BRN_EXPORT int BRN_RenameKeys(void*& keyHandle, std::string newName) {
    BRNHandle* handle = nullptr;
    int checked = CheckKeyHandle(keyHandle, brindle::CheckName(newName), KeyAccess::kRead, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    return brindle::InCall(*handle->file->database, "BRN_RenameKeys", [&] {
        return brindle::ToCode(brindle::OperationsOf(*handle).RenameKey(newName));
    });
}

BRN_EXPORT int BRN_DeleteKey(void*& keyHandle) {
    BRNHandle* handle = nullptr;
    int checked = CheckKeyHandle(keyHandle, BRN_OK, KeyAccess::kChange, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    return brindle::InCall(*handle->file->database, "BRN_DeleteKey", [&] {
        return brindle::ToCode(brindle::OperationsOf(*handle).DeleteKey());
    });
}

}  // extern "C"
