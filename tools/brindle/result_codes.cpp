#include "brindle/result_codes.h"

#include "brindle.h"

namespace brindle::tool {

const std::vector<ResultCode>& ResultCodes() {
    static const std::vector<ResultCode> kCodes = {
        {BRN_OK, "BRN_OK", "success"},
        {BRN_FAIL, "BRN_FAIL",
         "the operation failed (the database could not be opened, or a key or property could "
         "not be added)"},
        {BRN_ERR_BAD_NODE, "BRN_ERR_BAD_NODE", "the key handle does not stand on a key"},
        {BRN_ERR_PROPERTY_NOT_FOUND, "BRN_ERR_PROPERTY_NOT_FOUND",
         "the key has no property of that name"},
        {BRN_ERR_EMPTY_NAME, "BRN_ERR_EMPTY_NAME", "the new name of a main key is empty"},
        {BRN_ERR_NO_ROOT, "BRN_ERR_NO_ROOT", "the database has no root key"},
        {BRN_ERR_NO_MEMORY, "BRN_ERR_NO_MEMORY", "out of memory"},
        {BRN_ERR_MAIN_KEY_NOT_FOUND, "BRN_ERR_MAIN_KEY_NOT_FOUND", "no main key of that name"},
        {BRN_ERR_KEY_NOT_FOUND, "BRN_ERR_KEY_NOT_FOUND", "a key on the path does not exist"},
        {BRN_ERR_KEY_EXISTS, "BRN_ERR_KEY_EXISTS", "a key of that name exists already"},
        {BRN_ERR_NO_OPERATION, "BRN_ERR_NO_OPERATION", "the open mode names no operation"},
        {BRN_ERR_NAME_TOO_LONG, "BRN_ERR_NAME_TOO_LONG",
         "a generated key name would be 256 characters or longer"},
        {BRN_ERR_PROPERTY_EXISTS, "BRN_ERR_PROPERTY_EXISTS",
         "the key already has a property of that name"},
        {BRN_ERR_BAD_MODE, "BRN_ERR_BAD_MODE", "a reopen asked for a main-key operation"},
        {BRN_ERR_IMPORT_FORMAT, "BRN_ERR_IMPORT_FORMAT",
         "the import file is truncated or holds a malformed record"},
        {BRN_ERR_IMPORT_HEADER, "BRN_ERR_IMPORT_HEADER",
         "the import file has a wrong header or record size"},
        {BRN_ERR_IMPORT_EMPTY_PATH, "BRN_ERR_IMPORT_EMPTY_PATH",
         "the key path in the import file is empty"},
        {BRN_ERR_IMPORT_PATH, "BRN_ERR_IMPORT_PATH",
         "the key path in the import file cannot be split"},
        {BRN_ERR_IMPORT_APPEND, "BRN_ERR_IMPORT_APPEND",
         "a key could not be created by the import"},
        {BRN_ERR_FILE_TOO_LARGE, "BRN_ERR_FILE_TOO_LARGE", "the import file is 4 GiB or larger"},
        {BRN_ERR_NO_SEGMENT_NAME, "BRN_ERR_NO_SEGMENT_NAME",
         "too many exports of this key are running at once"},
        {BRN_ERR_FILE_EXISTS, "BRN_ERR_FILE_EXISTS",
         "the export file exists already (use --overwrite to replace it)"},
        {BRN_ERR_FILE_NOT_FOUND, "BRN_ERR_FILE_NOT_FOUND", "the import file does not exist"},
        {BRN_ERR_EXPORT_FILE, "BRN_ERR_EXPORT_FILE", "the export file could not be written"},
        {BRN_ERR_IMPORT_FILE, "BRN_ERR_IMPORT_FILE",
         "the import file could not be opened or is empty"},
        {BRN_ERR_READ_ONLY, "BRN_ERR_READ_ONLY", "the main key is read-only"},
        {BRN_ERR_MAIN_KEY_CHANGE_DENIED, "BRN_ERR_MAIN_KEY_CHANGE_DENIED",
         "main keys may not be created or renamed in this database"},
        {BRN_ERR_RESERVED_MAIN_KEY, "BRN_ERR_RESERVED_MAIN_KEY",
         "that main key name is reserved for the system"},
        {BRN_ERR_MAIN_KEY_DELETE_DENIED, "BRN_ERR_MAIN_KEY_DELETE_DENIED",
         "main keys may not be deleted in this database"},
        {BRN_ERR_KEY_PATH_TOO_LONG, "BRN_ERR_KEY_PATH_TOO_LONG",
         "the full key path is 2048 characters or longer"},
        {BRN_ERR_OPENED_READ_ONLY, "BRN_ERR_OPENED_READ_ONLY",
         "the database was opened read-only: nothing was changed"},
        {BRN_ERR_LOCKED, "BRN_ERR_LOCKED",
         "another process holds the database for writing alone (the message names it)"},
        {BRN_ERR_PERMISSION, "BRN_ERR_PERMISSION",
         "the data files or their folder may not be read or written as the open asks"},
        {BRN_ERR_NO_DATABASE, "BRN_ERR_NO_DATABASE", "there is no database at that path"},
        {BRN_ERR_NOT_DATABASE, "BRN_ERR_NOT_DATABASE",
         "the file at that path is not a Brindle database"},
        {BRN_ERR_SHARED_BY_OTHERS, "BRN_ERR_SHARED_BY_OTHERS",
         "other processes have the database open for shared writing"},
        {BRN_ERR_DURABILITY_MISMATCH, "BRN_ERR_DURABILITY_MISMATCH",
         "the processes sharing the database use another durability level "
         "(BRINDLE_DURABILITY)"},
        {BRN_ERR_DATA, "BRN_ERR_DATA", "a stored record could not be read"},
        {BRN_ERR_INVALID_ARGUMENT, "BRN_ERR_INVALID_ARGUMENT",
         "invalid argument (an empty name, or a name of 256 characters or more)"},
        {BRN_ERR_NULL_PATH, "BRN_ERR_NULL_PATH", "no database path was given"},
        {BRN_ERR_IMAGE_TOO_LARGE, "BRN_ERR_IMAGE_TOO_LARGE",
         "the subtree is too large to export (200 MiB at most)"},
        {BRN_ERR_BAD_VALUE, "BRN_ERR_BAD_VALUE", "the stored value could not be decoded"},
        {BRN_ERR_NULL_HANDLE, "BRN_ERR_NULL_HANDLE", "null handle"},
        {BRN_ERR_BUFFER, "BRN_ERR_BUFFER", "a work buffer could not be provided"},
        {BRN_ERR_ENCODE, "BRN_ERR_ENCODE", "the property could not be encoded"},
        {BRN_ERR_CHECKSUM, "BRN_ERR_CHECKSUM", "the import file's checksum does not match"},
        {BRN_ERR_VERSION, "BRN_ERR_VERSION", "the import file has an unknown format version"},
        {BRN_ERR_EXCEPTION, "BRN_ERR_EXCEPTION", "the library caught an internal error"},
    };
    return kCodes;
}

std::string ResultMessage(int code) {
    for (const ResultCode& entry : ResultCodes()) {
        if (entry.code == code) {
            return entry.message;
        }
    }
    return "unknown result code " + std::to_string(code);
}

std::string ResultCodesMarkdown() {
    std::string text = "| Code | Name | Meaning |\n|---:|---|---|\n";
    for (const ResultCode& entry : ResultCodes()) {
        text += "| " + std::to_string(entry.code) + " | `" + entry.name + "` | " + entry.message +
                " |\n";
    }
    return text;
}

}  // namespace brindle::tool
