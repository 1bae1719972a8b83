#pragma once

#include <cstdint>

#include "pool/write_transaction.h"

namespace brindle {

// The outcome of an operation of the layers below the exports: the tree store, the key
// layer and the transfer of subtrees. Each value names one outcome; the exports turn it into
// the result code a host sees through one table in the export layer, so no layer here
// depends on the public numbering. Values are dense from 0 so that the table can be checked
// for covering every one of them.
enum class Status : uint8_t {
    kOk,
    // A write failed; nothing changed.
    kFailed,
    // --- the tree store ---
    // The node is 0, or the handle's main key was deleted meanwhile.
    kBadNode,
    // A property name was empty.
    kEmptyPropertyName,
    kPropertyNotFound,
    // A key name was empty.
    kEmptyName,
    // No tree is open.
    kNoRoot,
    kNameTooLong,
    // The caller's buffer is shorter than the record; the length needed was written back.
    kBufferTooSmall,
    // The store found its own data inconsistent.
    kDataError,
    // The call has no main key (no record, or no key lock) to work under.
    kNoMainKey,
    // --- the key layer ---
    kMainKeyNotFound,
    // The main key's record was dropped from the table before the call.
    kMainKeyGone,
    kKeyNotFound,
    kKeyExists,
    // The mode names no operation.
    kNoOperation,
    kPropertyExists,
    kReadOnly,
    // The configuration forbids creating or renaming main keys.
    kMainKeyChangeDenied,
    // The configuration's system main key, which is not to be changed.
    kReservedMainKey,
    // The configuration forbids deleting main keys.
    kMainKeyDeleteDenied,
    // --- the transfer of subtrees ---
    // An import image's record or block is malformed.
    kImportFormat,
    // An import image's header or a block length is wrong.
    kImportHeader,
    kImportEmptyPath,
    // An import image's key path does not split into valid names.
    kImportPath,
    // An imported key cannot be appended.
    kImportAppend,
    // An import file of 4 GiB or more.
    kFileTooLarge,
    // No free name for an export's scratch segment.
    kNoSegmentName,
    // The export file exists and overwriting was not asked for.
    kFileExists,
    kFileNotFound,
    // The export file cannot be written.
    kExportFile,
    // The import file cannot be opened or read, or is empty.
    kImportFile,
    kKeyPathTooLong,
    kImageTooLarge,
    // An import image's checksum does not match.
    kChecksum,
    // An import image of another format version.
    kVersion,
    // Work memory cannot be had.
    kNoBuffer,
    // A change asked of a database this process opened for reading only.
    kOpenedReadOnly,
    // An exception was caught where it may not pass.
    kException,
};

// The number of Status values.
inline constexpr int kStatusCount = static_cast<int>(Status::kException) + 1;

// Commits the transaction when `result` is kOk, else leaves the rollback to its destructor.
// Returns result.
inline Status CommitIfOk(WriteTransaction& transaction, Status result) {
    if (result == Status::kOk) {
        transaction.Commit();
    }
    return result;
}

}  // namespace brindle
