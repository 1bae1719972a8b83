#pragma once

#include <cstdio>
#include <new>
#include <string>

#include "api/handles.h"
#include "brindle.h"
#include "keys/key_operations.h"
#include "md_exception.h"

namespace brindle {

enum class KeyAccess { kRead, kChange };

// The checks every export that takes a key handle makes, in this order: the value -1 (102),
// the export's own argument checks (`argument_result`, BRN_OK when they passed), null (109),
// a handle without a main key (102), and for changes a read-only main key (51). On BRN_OK
// `handle` is the key handle.
inline int CheckKeyHandle(void* value, int argument_result, KeyAccess access, BRNHandle*& handle) {
    if (IsNoHandle(value)) {
        return BRN_ERR_INVALID_ARGUMENT;
    }
    if (argument_result != BRN_OK) {
        return argument_result;
    }
    if (value == nullptr) {
        return BRN_ERR_NULL_HANDLE;
    }
    handle = static_cast<BRNHandle*>(value);
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
        throw MDException("MemoryException", message);
    } catch (...) {
        std::snprintf(message, sizeof(message), "Unexpected failure -- %s", export_name);
        throw MDException("Execption", message);
    }
}

}  // namespace brindle
