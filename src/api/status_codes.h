#pragma once

#include <array>
#include <cstddef>

#include "brindle_codes.h"
#include "pool/pool_options.h"
#include "tree/status.h"

namespace brindle {

// One row of the table below: an outcome and the result code a host sees for it.
struct StatusCode {
    Status status;
    int code;
};

// The code a host sees for an empty property name: the tree's own number, which no public
// code names. The exports refuse an empty name as an invalid argument before the tree sees
// it, so only the tool and the tests meet it.
inline constexpr int kUnlistedEmptyPropertyName = 6;

// The result code of every outcome, in the order of Status. Every export turns the outcomes
// of the layers below into its result through this table and nothing else.
inline constexpr std::array<StatusCode, kStatusCount> kStatusCodes = {{
    {Status::kOk, BRN_OK},
    {Status::kFailed, BRN_FAIL},
    {Status::kBadNode, BRN_ERR_BAD_NODE},
    // No public code: hosts have always seen the tree's 6 here.
    {Status::kEmptyPropertyName, kUnlistedEmptyPropertyName},
    {Status::kPropertyNotFound, BRN_ERR_PROPERTY_NOT_FOUND},
    {Status::kEmptyName, BRN_ERR_EMPTY_NAME},
    {Status::kNoRoot, BRN_ERR_NO_ROOT},
    {Status::kNameTooLong, BRN_ERR_NAME_TOO_LONG},
    // Never reaches a host (the key layer grows its buffer and reads again); a buffer fault.
    {Status::kBufferTooSmall, BRN_ERR_BUFFER},
    {Status::kDataError, BRN_ERR_DATA},
    // A call without a main key has always reached hosts as an invalid argument (102).
    {Status::kNoMainKey, BRN_ERR_INVALID_ARGUMENT},
    {Status::kMainKeyNotFound, BRN_ERR_MAIN_KEY_NOT_FOUND},
    // Never reaches a host: the key layer turns it into kMainKeyNotFound or kBadNode first.
    {Status::kMainKeyGone, BRN_ERR_MAIN_KEY_NOT_FOUND},
    {Status::kKeyNotFound, BRN_ERR_KEY_NOT_FOUND},
    {Status::kKeyExists, BRN_ERR_KEY_EXISTS},
    {Status::kNoOperation, BRN_ERR_NO_OPERATION},
    {Status::kPropertyExists, BRN_ERR_PROPERTY_EXISTS},
    {Status::kReadOnly, BRN_ERR_READ_ONLY},
    {Status::kMainKeyChangeDenied, BRN_ERR_MAIN_KEY_CHANGE_DENIED},
    {Status::kReservedMainKey, BRN_ERR_RESERVED_MAIN_KEY},
    {Status::kMainKeyDeleteDenied, BRN_ERR_MAIN_KEY_DELETE_DENIED},
    {Status::kImportFormat, BRN_ERR_IMPORT_FORMAT},
    {Status::kImportHeader, BRN_ERR_IMPORT_HEADER},
    {Status::kImportEmptyPath, BRN_ERR_IMPORT_EMPTY_PATH},
    {Status::kImportPath, BRN_ERR_IMPORT_PATH},
    {Status::kImportAppend, BRN_ERR_IMPORT_APPEND},
    {Status::kFileTooLarge, BRN_ERR_FILE_TOO_LARGE},
    {Status::kNoSegmentName, BRN_ERR_NO_SEGMENT_NAME},
    {Status::kFileExists, BRN_ERR_FILE_EXISTS},
    {Status::kFileNotFound, BRN_ERR_FILE_NOT_FOUND},
    {Status::kExportFile, BRN_ERR_EXPORT_FILE},
    {Status::kImportFile, BRN_ERR_IMPORT_FILE},
    {Status::kKeyPathTooLong, BRN_ERR_KEY_PATH_TOO_LONG},
    {Status::kImageTooLarge, BRN_ERR_IMAGE_TOO_LARGE},
    {Status::kChecksum, BRN_ERR_CHECKSUM},
    {Status::kVersion, BRN_ERR_VERSION},
    {Status::kNoBuffer, BRN_ERR_BUFFER},
    {Status::kOpenedReadOnly, BRN_ERR_OPENED_READ_ONLY},
    {Status::kException, BRN_ERR_EXCEPTION},
}};

// True when row i of the table holds the outcome whose value is i, so that ToCode can index.
constexpr bool StatusTableInOrder() {
    for (std::size_t i = 0; i < kStatusCodes.size(); ++i) {
        if (static_cast<std::size_t>(kStatusCodes[i].status) != i) {
            return false;
        }
    }
    return true;
}
static_assert(StatusTableInOrder(), "kStatusCodes must list every Status in order");

// The result code a host sees for `status`.
constexpr int ToCode(Status status) {
    return kStatusCodes[static_cast<std::size_t>(status)].code;
}

// The numbers hosts were built against. A renumbering in brindle_codes.h stops the build here
// instead of changing what a host sees.
static_assert(BRN_OK == 1 && BRN_FAIL == 0);
static_assert(BRN_ERR_BAD_NODE == 5 && BRN_ERR_PROPERTY_NOT_FOUND == 7);
static_assert(BRN_ERR_EMPTY_NAME == 10 && BRN_ERR_NO_ROOT == 11 && BRN_ERR_NO_MEMORY == 12);
static_assert(BRN_ERR_MAIN_KEY_NOT_FOUND == 13 && BRN_ERR_KEY_NOT_FOUND == 14);
static_assert(BRN_ERR_KEY_EXISTS == 16 && BRN_ERR_NO_OPERATION == 17);
static_assert(BRN_ERR_NAME_TOO_LONG == 18 && BRN_ERR_PROPERTY_EXISTS == 19);
static_assert(BRN_ERR_BAD_MODE == 20);
static_assert(BRN_ERR_IMPORT_FORMAT == 40 && BRN_ERR_IMPORT_HEADER == 41);
static_assert(BRN_ERR_IMPORT_EMPTY_PATH == 42 && BRN_ERR_IMPORT_PATH == 43);
static_assert(BRN_ERR_IMPORT_APPEND == 44 && BRN_ERR_FILE_TOO_LARGE == 45);
static_assert(BRN_ERR_NO_SEGMENT_NAME == 46 && BRN_ERR_FILE_EXISTS == 47);
static_assert(BRN_ERR_FILE_NOT_FOUND == 48 && BRN_ERR_EXPORT_FILE == 49);
static_assert(BRN_ERR_IMPORT_FILE == 50 && BRN_ERR_READ_ONLY == 51);
static_assert(BRN_ERR_MAIN_KEY_CHANGE_DENIED == 52 && BRN_ERR_RESERVED_MAIN_KEY == 53);
static_assert(BRN_ERR_MAIN_KEY_DELETE_DENIED == 54 && BRN_ERR_KEY_PATH_TOO_LONG == 55);
static_assert(BRN_ERR_DATA == 101 && BRN_ERR_INVALID_ARGUMENT == 102);
static_assert(BRN_ERR_NULL_PATH == 103 && BRN_ERR_IMAGE_TOO_LARGE == 104);
static_assert(BRN_ERR_BAD_VALUE == 108 && BRN_ERR_NULL_HANDLE == 109);
static_assert(BRN_ERR_BUFFER == 110 && BRN_ERR_ENCODE == 111);
static_assert(BRN_ERR_CHECKSUM == 112 && BRN_ERR_VERSION == 113);
static_assert(BRN_ERR_EXCEPTION == 1000);

// The result code BRN_OpenFile gives for an open that failed for `failure`.
constexpr int OpenFailureCode(OpenFailure failure) {
    switch (failure) {
        case OpenFailure::kNone:
        case OpenFailure::kFailed:
            return BRN_FAIL;
        case OpenFailure::kLocked:
            return BRN_ERR_LOCKED;
        case OpenFailure::kSharedByOthers:
            return BRN_ERR_SHARED_BY_OTHERS;
        case OpenFailure::kPermission:
            return BRN_ERR_PERMISSION;
        case OpenFailure::kNoDatabase:
            return BRN_ERR_NO_DATABASE;
        case OpenFailure::kNotDatabase:
            return BRN_ERR_NOT_DATABASE;
        case OpenFailure::kDurabilityMismatch:
            return BRN_ERR_DURABILITY_MISMATCH;
    }
    return BRN_FAIL;
}

}  // namespace brindle
