#pragma once

#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "api/handles.h"
#include "brindle.h"
#include "keys/key_operations.h"
#include "md_exception.h"
#include "vell/library_errors.h"
#include "vell/mem_cache.h"

namespace brindle {

enum class KeyAccess { kRead, kChange };

// The checks every export makes on the handle it is given, in this order: the value -1
// (102), the export's own argument checks (`argument_result`, BRN_OK when they passed), and
// null (109). On BRN_OK `handle` is the handle.
template <typename Handle>
int CheckHandle(void* value, int argument_result, Handle*& handle) {
    if (IsNoHandle(value)) {
        return BRN_ERR_INVALID_ARGUMENT;
    }
    if (argument_result != BRN_OK) {
        return argument_result;
    }
    if (value == nullptr) {
        return BRN_ERR_NULL_HANDLE;
    }
    handle = static_cast<Handle*>(value);
    return BRN_OK;
}

// CheckHandle on a key handle, then: a handle without a main key (102), and for changes a
// read-only main key (51).
inline int CheckKeyHandle(void* value, int argument_result, KeyAccess access, BRNHandle*& handle) {
    const int checked = CheckHandle(value, argument_result, handle);
    if (checked != BRN_OK) {
        return checked;
    }
    if (handle->main_key == nullptr) {
        return BRN_ERR_INVALID_ARGUMENT;
    }
    if (access == KeyAccess::kChange && handle->main_key->ReadOnly()) {
        return BRN_ERR_READ_ONLY;
    }
    return BRN_OK;
}

// BRN_OK for a name of 1 to 255 characters, 102 otherwise.
inline int CheckName(const std::string& name) {
    return name.empty() || name.size() > kMaxNameLength ? BRN_ERR_INVALID_ARGUMENT : BRN_OK;
}

// Work buffers of the exports; null when memory cannot be had.
inline std::unique_ptr<vell::MemCache> MakeWorkBuffer(uint32_t size) {
    try {
        return std::make_unique<vell::MemCache>(size);
    } catch (...) {
        return nullptr;
    }
}

inline KeyOperations OperationsOf(const BRNHandle& handle) {
    return KeyOperations(*handle.file->database, handle.main_key, handle.node);
}

// Runs an export's body for exports that let the library's exceptions reach the host: an
// MDException passes unchanged, anything else is turned into one, so that the host only
// ever has MDException to catch.
template <typename Body>
auto PassingOnlyMDException(const char* export_name, Body&& body) -> decltype(body()) {
    char message[MDException::kMessageCapacity];
    try {
        return body();
    } catch (const MDException&) {
        throw;
    } catch (const std::bad_alloc&) {
        std::snprintf(message, sizeof(message), "Alloc memory failed -- %s", export_name);
        vell::ThrowMemoryError(message);
    } catch (...) {
        std::snprintf(message, sizeof(message), "Unexpected failure -- %s", export_name);
        vell::ThrowFormatError(message);
    }
}

// Runs an export's body as one call of the database (CommonTree::CallScope: it first takes in
// what other processes committed), letting only MDException reach the host.
template <typename Body>
auto InCall(CommonTree& database, const char* export_name, Body&& body) -> decltype(body()) {
    return PassingOnlyMDException(export_name, [&] {
        CommonTree::CallScope call(database);
        return body();
    });
}

}  // namespace brindle
