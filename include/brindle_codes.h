#pragma once

// The result codes of the host interface, and the mode bits and key flags its calls take.
// Shared by the library's layers, which return these codes, and by hosts through brindle.h.

#include <cstddef>

// Result codes; a comment gives the meaning where the name does not.
constexpr int BRN_OK = 1;
// A write failed or the database cannot be opened; nothing changed.
constexpr int BRN_FAIL = 0;
// The handle's key no longer exists (deleted meanwhile).
constexpr int BRN_ERR_BAD_NODE = 5;
constexpr int BRN_ERR_PROPERTY_NOT_FOUND = 7;
constexpr int BRN_ERR_EMPTY_NAME = 10;
// The database has no root key.
constexpr int BRN_ERR_NO_ROOT = 11;
constexpr int BRN_ERR_NO_MEMORY = 12;
constexpr int BRN_ERR_MAIN_KEY_NOT_FOUND = 13;
constexpr int BRN_ERR_KEY_NOT_FOUND = 14;
constexpr int BRN_ERR_KEY_EXISTS = 16;
// The mode names no operation.
constexpr int BRN_ERR_NO_OPERATION = 17;
constexpr int BRN_ERR_NAME_TOO_LONG = 18;
constexpr int BRN_ERR_PROPERTY_EXISTS = 19;
// A mode bit the call does not take.
constexpr int BRN_ERR_BAD_MODE = 20;
// An import file's record or block is malformed.
constexpr int BRN_ERR_IMPORT_FORMAT = 40;
// An import file's header or a block length is wrong.
constexpr int BRN_ERR_IMPORT_HEADER = 41;
// An import file names no key path.
constexpr int BRN_ERR_IMPORT_EMPTY_PATH = 42;
// An import file's key path does not split into valid names.
constexpr int BRN_ERR_IMPORT_PATH = 43;
// An imported key cannot be appended.
constexpr int BRN_ERR_IMPORT_APPEND = 44;
// An import file of 4 GiB or more.
constexpr int BRN_ERR_FILE_TOO_LARGE = 45;
// No free name for an export's scratch segment.
constexpr int BRN_ERR_NO_SEGMENT_NAME = 46;
// The export file exists and overwriting was not asked for.
constexpr int BRN_ERR_FILE_EXISTS = 47;
// The import file does not exist.
constexpr int BRN_ERR_FILE_NOT_FOUND = 48;
// The export file cannot be written.
constexpr int BRN_ERR_EXPORT_FILE = 49;
// The import file cannot be opened or read, or is empty.
constexpr int BRN_ERR_IMPORT_FILE = 50;
// The main key is read-only.
constexpr int BRN_ERR_READ_ONLY = 51;
// The configuration forbids creating or renaming main keys.
constexpr int BRN_ERR_MAIN_KEY_CHANGE_DENIED = 52;
// The configuration's system main key, which is not to be changed.
constexpr int BRN_ERR_RESERVED_MAIN_KEY = 53;
// The configuration forbids deleting main keys.
constexpr int BRN_ERR_MAIN_KEY_DELETE_DENIED = 54;
// An exported key's full path of 2048 characters or more.
constexpr int BRN_ERR_KEY_PATH_TOO_LONG = 55;
// A changing call on a database opened with BRN_OPEN_READ_ONLY; nothing changed.
constexpr int BRN_ERR_OPENED_READ_ONLY = 56;
// BRN_OpenFile: another process holds the database for writing (options 0), or (for a
// BRN_OPEN_SHARED open) holds it with options 0. The diagnostic line names its process.
constexpr int BRN_ERR_LOCKED = 57;
// BRN_OpenFile: the data files or their directory may not be read or written as asked.
constexpr int BRN_ERR_PERMISSION = 58;
// BRN_OpenFile with BRN_OPEN_READ_ONLY: there is no database at the path.
constexpr int BRN_ERR_NO_DATABASE = 59;
// BRN_OpenFile: the file at the path is not a database of this library.
constexpr int BRN_ERR_NOT_DATABASE = 60;
// BRN_OpenFile with options 0: other processes hold the database with BRN_OPEN_SHARED.
constexpr int BRN_ERR_SHARED_BY_OTHERS = 61;
// BRN_OpenFile with BRN_OPEN_SHARED: the processes holding the database use another
// durability level.
constexpr int BRN_ERR_DURABILITY_MISMATCH = 62;
// The store found its own data inconsistent.
constexpr int BRN_ERR_DATA = 101;
// An argument out of range, a -1 handle, or a handle without a main key.
constexpr int BRN_ERR_INVALID_ARGUMENT = 102;
// A null path.
constexpr int BRN_ERR_NULL_PATH = 103;
// An exported subtree larger than 200 MiB.
constexpr int BRN_ERR_IMAGE_TOO_LARGE = 104;
// A stored property does not decode.
constexpr int BRN_ERR_BAD_VALUE = 108;
// A null handle.
constexpr int BRN_ERR_NULL_HANDLE = 109;
// Work memory cannot be had, or a listing does not fit.
constexpr int BRN_ERR_BUFFER = 110;
// The value cannot be encoded for storing.
constexpr int BRN_ERR_ENCODE = 111;
// An import file's checksum does not match.
constexpr int BRN_ERR_CHECKSUM = 112;
// An import file of another format version.
constexpr int BRN_ERR_VERSION = 113;
// An exception was raised inside, or the store returned a malformed result.
constexpr int BRN_ERR_EXCEPTION = 1000;

// Options of BRN_OpenFile. 0: this process writes, and other processes may read.
// Reads only; every call sees the latest committed state as it begins; never creates,
// repairs or writes anything of the database.
constexpr unsigned int BRN_OPEN_READ_ONLY = 0x1;
// Several processes write; one changing call or batch runs at a time across all of them,
// and each call first sees what the others committed.
constexpr unsigned int BRN_OPEN_SHARED = 0x2;

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
