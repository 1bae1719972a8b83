#pragma once

// The result codes of the host interface, and the mode bits and key flags its calls take.
// Shared by the library's layers, which return these codes, and by hosts through brindle.h.

#include <cstddef>

// Result codes.
constexpr int BRN_OK = 1;
constexpr int BRN_FAIL = 0;
constexpr int BRN_ERR_BAD_NODE = 5;
constexpr int BRN_ERR_PROPERTY_NOT_FOUND = 7;
constexpr int BRN_ERR_EMPTY_NAME = 10;
constexpr int BRN_ERR_NO_ROOT = 11;
constexpr int BRN_ERR_NO_MEMORY = 12;
constexpr int BRN_ERR_MAIN_KEY_NOT_FOUND = 13;
constexpr int BRN_ERR_KEY_NOT_FOUND = 14;
constexpr int BRN_ERR_KEY_EXISTS = 16;
constexpr int BRN_ERR_NO_OPERATION = 17;
constexpr int BRN_ERR_NAME_TOO_LONG = 18;
constexpr int BRN_ERR_PROPERTY_EXISTS = 19;
constexpr int BRN_ERR_BAD_MODE = 20;
constexpr int BRN_ERR_IMPORT_FORMAT = 40;
constexpr int BRN_ERR_IMPORT_HEADER = 41;
constexpr int BRN_ERR_IMPORT_EMPTY_PATH = 42;
constexpr int BRN_ERR_IMPORT_PATH = 43;
constexpr int BRN_ERR_IMPORT_APPEND = 44;
constexpr int BRN_ERR_FILE_TOO_LARGE = 45;
constexpr int BRN_ERR_NO_SEGMENT_NAME = 46;
constexpr int BRN_ERR_FILE_EXISTS = 47;
constexpr int BRN_ERR_FILE_NOT_FOUND = 48;
constexpr int BRN_ERR_EXPORT_FILE = 49;
constexpr int BRN_ERR_IMPORT_FILE = 50;
constexpr int BRN_ERR_READ_ONLY = 51;
constexpr int BRN_ERR_MAIN_KEY_CHANGE_DENIED = 52;
constexpr int BRN_ERR_RESERVED_MAIN_KEY = 53;
constexpr int BRN_ERR_MAIN_KEY_DELETE_DENIED = 54;
constexpr int BRN_ERR_KEY_PATH_TOO_LONG = 55;
constexpr int BRN_ERR_DATA = 101;
constexpr int BRN_ERR_INVALID_ARGUMENT = 102;
constexpr int BRN_ERR_NULL_PATH = 103;
constexpr int BRN_ERR_IMAGE_TOO_LARGE = 104;
constexpr int BRN_ERR_BAD_VALUE = 108;
constexpr int BRN_ERR_NULL_HANDLE = 109;
constexpr int BRN_ERR_BUFFER = 110;
constexpr int BRN_ERR_ENCODE = 111;
constexpr int BRN_ERR_CHECKSUM = 112;
constexpr int BRN_ERR_VERSION = 113;
constexpr int BRN_ERR_EXCEPTION = 1000;

// Mode bits of BRN_OpenKey and BRN_ReopenSubKey.
constexpr unsigned int MODE_CREATE = 0x1;      // create the main key
constexpr unsigned int MODE_DELETE = 0x2;      // delete the main key and its subtree
constexpr unsigned int MODE_RENAME = 0x4;      // rename the main key; the path is the new name
constexpr unsigned int MODE_OPEN = 0x8;        // open the key at the path below the main key
constexpr unsigned int MODE_CHILD = 0x10;      // the path is one child name, not split
constexpr unsigned int MODE_DOTTED = 0x20;     // the path is a dotted path (a, a.b, a.b.c)
constexpr unsigned int MODE_HIDDEN = 0x400;    // with MODE_CREATE: the main key is hidden
constexpr unsigned int MODE_READONLY = 0x800;  // with MODE_CREATE: the main key is read-only

// Flags of a main key.
constexpr unsigned int KEY_READONLY = 0x100;
constexpr unsigned int KEY_HIDDEN = 0x200;

namespace brindle {
// The longest key or property name, and the longest key path the exports take, in bytes:
// names are stored with a NUL in 256 bytes.
inline constexpr std::size_t kMaxNameLength = 255;
}  // namespace brindle
