#pragma once

// The host interface of the Brindle configuration store.
//
// A host opens a database by path with BRN_OpenFile, opens keys below a main key with
// BRN_OpenKey, reads and changes keys and typed properties through those key handles, and
// closes every key handle before the file handle. Every function that returns a result
// returns one of the codes of brindle_codes.h; BRN_OK (1) is success.
//
// Exceptions. BRN_OpenFile, BRN_CloseBRNFHandle, BRN_CloseBRNHandle, BRN_ExportSubTree and
// BRN_ExportSubTree2 never throw: a failure inside them is a result code. Every other export
// may throw MDException when the store meets a fault it cannot answer with a code (a damaged
// page, memory it cannot have), and throws nothing else: any other exception inside is turned
// into MDException, of type "MemoryException" for an allocation failure and "Execption"
// otherwise. The handle and argument checks come first and never throw. BRN_GetKeyProperty and
// BRN_SelectKeyPropertys throw only while the store reads; decoding what it read fails with a
// code.
//
// Threads. One process opens a database at a time: a second BRN_OpenFile of the same files,
// from this process or another, fails while the first handle is open. Within the process any
// thread may call any export, and many threads may call at once, on one database, on one
// main key and on one key handle; the library locks per main key and per database. The
// exceptions are the calls that change or free a handle itself: BRN_ReopenSubKey and
// BRN_CloseBRNHandle must not overlap another call on the same key handle, and
// BRN_CloseBRNFHandle must wait until every call on that file and its key handles returned.
//
// Handles. Handles travel as untyped pointers owned by the host, which frees each with its
// close function; the all-ones value (-1) means "no handle". A key handle points into its
// file handle and must not be used after that is closed. Strings and lists are the host's;
// an export appends to a list it is given and never clears it.
//
// Common codes. Every export that takes a handle, the close functions aside, returns
// BRN_ERR_INVALID_ARGUMENT for -1 and BRN_ERR_NULL_HANDLE for null. A key handle whose open failed
// has no main key: key exports return BRN_ERR_INVALID_ARGUMENT for it (BRN_GetAllMainKeys
// excepted). When the key a handle points at was deleted meanwhile, they return BRN_ERR_BAD_NODE.
// Codes of the tree store pass unchanged; among them BRN_FAIL, a write that failed and changed
// nothing.

#include <list>
#include <string>
#include <utility>

#include "brindle_codes.h"
#include "brindle_export.h"
#include "md_exception.h"
#include "vell/date_time.h"
#include "vell/variable_data.h"

extern "C" {

// Opens the database whose data files start with `path` (path001, path002, ...), creating
// it when there are none (except with BRN_OPEN_READ_ONLY). On BRN_OK `fileHandle` is a new
// file handle; on any other result except BRN_ERR_NULL_PATH it is -1. `options`: 0,
// BRN_OPEN_READ_ONLY or BRN_OPEN_SHARED (brindle_codes.h). Codes: BRN_ERR_NULL_PATH;
// BRN_ERR_LOCKED (another process holds it with options 0; a diagnostic line names the
// process); BRN_ERR_SHARED_BY_OTHERS (options 0 while processes hold it with
// BRN_OPEN_SHARED); BRN_ERR_PERMISSION; BRN_ERR_NO_DATABASE (BRN_OPEN_READ_ONLY and no
// database at the path); BRN_ERR_NOT_DATABASE;
// BRN_ERR_DURABILITY_MISMATCH (BRN_OPEN_SHARED with another BRINDLE_DURABILITY than the
// processes holding it); BRN_FAIL when the files cannot be opened for another reason
// (damaged; a diagnostic line says why, also for an unknown BRINDLE_DURABILITY or
// BRINDLE_CHECKPOINT_BYTES); BRN_ERR_EXCEPTION when opening raised one; BRN_ERR_NO_MEMORY.
//
// Durability, chosen by BRINDLE_DURABILITY at the open. Every level keeps every call that
// returned BRN_OK through a killed process, and every changing call (or batch, see
// brindle_batch.h) is there whole or not at all. "normal" (the default) also survives a power
// cut or an OS crash: the database opens and is sound, and it holds every call committed
// before the last completed checkpoint (at most 4 MiB of journal, or one idle check period,
// may be lost). "full" loses no call that returned, at the cost of a disk sync per call. "off"
// never syncs: after a power cut recent calls may be lost and the files may be torn.
BRN_EXPORT int BRN_OpenFile(const char* path, void*& fileHandle, unsigned int options);

// Closes the database and frees the file handle; null and -1 are ignored. The key handles
// of the file can only be closed afterwards, so close them first. The host's variable keeps
// its value: do not use it again.
BRN_EXPORT void BRN_CloseBRNFHandle(void*& fileHandle);

// Frees a key handle; null and -1 are ignored. The key itself stays.
BRN_EXPORT void BRN_CloseBRNHandle(void*& keyHandle);

// Acts on the main key `mainKey` as `mode` asks (the MODE_ bits): creates it
// (MODE_CREATE, with MODE_HIDDEN or MODE_READONLY), deletes it with its subtree
// (MODE_DELETE), renames it to `path` (MODE_RENAME), or opens the key at `path` below it
// (MODE_OPEN: an empty path is the main key itself, MODE_CHILD one child name, MODE_DOTTED a
// dotted path, else a path split at backslashes). On an existing main key the first of
// create, rename, delete and open that is set counts; on a missing one only create.
// After the argument checks `keyHandle` receives a new key handle the host must close, even
// when the result is not BRN_OK (it then points at no key; likewise after a delete, and
// after a rename, which leaves it without a key below the main key). It is -1 for
// BRN_ERR_NULL_HANDLE, BRN_ERR_NO_MEMORY and a thrown exception, and left as it was for
// BRN_ERR_INVALID_ARGUMENT. Codes: BRN_ERR_INVALID_ARGUMENT (file handle -1, a main-key
// name of 0 or more than 255 characters, a path of more than 255), BRN_ERR_NULL_HANDLE,
// BRN_ERR_NO_MEMORY, BRN_ERR_NO_ROOT, BRN_ERR_MAIN_KEY_NOT_FOUND, BRN_ERR_KEY_EXISTS (create
// of an existing main key), BRN_ERR_NO_OPERATION, BRN_ERR_KEY_NOT_FOUND (no key at the path),
// BRN_ERR_MAIN_KEY_CHANGE_DENIED and BRN_ERR_RESERVED_MAIN_KEY (create, rename),
// BRN_ERR_MAIN_KEY_DELETE_DENIED, and the tree store's codes.
BRN_EXPORT int BRN_OpenKey(void*& fileHandle, void*& keyHandle, std::string mainKey,
                           std::string path, unsigned int mode);

// Moves the key handle to another key of its main key: with MODE_CHILD to the child `path`
// of its current key, else to `path` below the main key as BRN_OpenKey resolves it (MODE_OPEN
// required). On failure the handle stays at its key. Codes: BRN_ERR_INVALID_ARGUMENT (a path
// of more than 255 characters), BRN_ERR_BAD_MODE (MODE_CREATE, MODE_DELETE or MODE_RENAME
// set), BRN_ERR_KEY_NOT_FOUND, and BRN_OpenKey's codes for opening.
BRN_EXPORT int BRN_ReopenSubKey(void*& keyHandle, std::string path, unsigned int mode);

// Appends the names of the key's children, in stored order, to `names`. Codes:
// BRN_ERR_BUFFER (no work memory), BRN_ERR_EXCEPTION (a malformed listing; names read before
// it stay appended).
BRN_EXPORT int BRN_SelectSubKeys(void*& keyHandle, std::list<std::string>& names);

// Appends the names of the database's main keys to `names`; hidden main keys only when the
// database is configured to list them. Any key handle of the file will do, one whose open
// failed included. Codes: BRN_ERR_BUFFER, BRN_ERR_EXCEPTION (a malformed listing).
BRN_EXPORT int BRN_GetAllMainKeys(void*& keyHandle, std::list<std::string>& names);

// Appends a child named `name` to the key. An empty name asks for a generated one ("1",
// "2", ... below a main key, "<key>.1", ... below others), written back to `name` on BRN_OK.
// Codes: BRN_ERR_INVALID_ARGUMENT (a name of more than 255 characters), BRN_ERR_READ_ONLY,
// BRN_ERR_KEY_EXISTS, BRN_FAIL.
BRN_EXPORT int BRN_AppendSubKey(void*& keyHandle, std::string& name);

// Renames the key. A main key's own node changes its stored name only: the main key keeps
// its old name until the database is opened again. Codes: BRN_ERR_INVALID_ARGUMENT (a name
// of 0 or more than 255 characters), BRN_ERR_READ_ONLY, and the tree store's codes.
BRN_EXPORT int BRN_RenameKeys(void*& keyHandle, std::string newName);

// Deletes the key with its subtree and properties; on a main key's own node the main key
// goes too. The handle stays open and points at no key. Codes: BRN_ERR_READ_ONLY,
// BRN_ERR_MAIN_KEY_DELETE_DENIED, BRN_FAIL.
BRN_EXPORT int BRN_DeleteKey(void*& keyHandle);

// Reads the property `name` into `value`, which changes only on BRN_OK. Codes:
// BRN_ERR_INVALID_ARGUMENT (an empty name), BRN_ERR_BUFFER, BRN_ERR_PROPERTY_NOT_FOUND,
// BRN_ERR_BAD_VALUE (a stored record that does not decode), BRN_ERR_EXCEPTION.
BRN_EXPORT int BRN_GetKeyProperty(void*& keyHandle, std::string name, vell::VariableData& value);

// Appends every property of the key, as (name, value), to `properties`. Codes:
// BRN_ERR_BUFFER, BRN_ERR_EXCEPTION (a malformed listing; properties read before it stay
// appended).
BRN_EXPORT int BRN_SelectKeyPropertys(
    void*& keyHandle, std::list<std::pair<std::string, vell::VariableData>>& properties);

// Adds the property `name` with `value` (read, not changed) to the key. Codes:
// BRN_ERR_INVALID_ARGUMENT (a name of 0 or more than 255 characters), BRN_ERR_READ_ONLY,
// BRN_ERR_ENCODE (the value cannot be stored), BRN_ERR_BUFFER, BRN_ERR_PROPERTY_EXISTS,
// BRN_FAIL.
BRN_EXPORT int BRN_AppendProperty(void*& keyHandle, std::string name, vell::VariableData& value);

// Replaces the value of the property `name` in its place; `value` is read, not changed.
// Codes: as BRN_AppendProperty, but BRN_ERR_PROPERTY_NOT_FOUND instead of
// BRN_ERR_PROPERTY_EXISTS, and BRN_ERR_NO_MEMORY when the new record does not read back.
BRN_EXPORT int BRN_EditProperty(void*& keyHandle, std::string name, vell::VariableData& value);

// Deletes the property `name`. Codes: BRN_ERR_INVALID_ARGUMENT (a name of 0 or more than 255
// characters), BRN_ERR_READ_ONLY, BRN_ERR_PROPERTY_NOT_FOUND.
BRN_EXPORT int BRN_DeleteProperty(void*& keyHandle, std::string name);

// Writes the key's subtree, with its full key path, to the file `path`, replacing a file
// there only when `overwrite`; a failed export leaves no file behind and a replaced one as
// it was. BRN_ExportSubTree lets exports of one key run side by side; BRN_ExportSubTree2
// refuses a second while one runs. A read-only main key refuses both. Codes:
// BRN_ERR_READ_ONLY, BRN_ERR_FILE_EXISTS, BRN_ERR_NO_SEGMENT_NAME, BRN_ERR_BUFFER,
// BRN_ERR_NO_ROOT, BRN_ERR_KEY_PATH_TOO_LONG, BRN_ERR_IMAGE_TOO_LARGE,
// BRN_ERR_EXPORT_FILE, BRN_ERR_EXCEPTION.
BRN_EXPORT int BRN_ExportSubTree(void*& keyHandle, std::string path, bool overwrite);
BRN_EXPORT int BRN_ExportSubTree2(void*& keyHandle, std::string path, bool overwrite);

// Recreates an exported subtree at the key path the file names. Merging (`fresh` false)
// opens or creates the main key, reuses keys of the same name and replaces properties of the
// same name; `fresh` creates the main key and fails with BRN_ERR_KEY_EXISTS when it exists.
// All or nothing: a malformed file changes nothing. Codes: BRN_ERR_FILE_NOT_FOUND,
// BRN_ERR_FILE_TOO_LARGE, BRN_ERR_IMPORT_FILE, BRN_ERR_IMPORT_FORMAT, BRN_ERR_IMPORT_HEADER,
// BRN_ERR_VERSION, BRN_ERR_CHECKSUM, BRN_ERR_IMPORT_EMPTY_PATH, BRN_ERR_IMPORT_PATH,
// BRN_ERR_IMPORT_APPEND, BRN_ERR_READ_ONLY, BRN_ERR_BUFFER, BRN_ERR_EXCEPTION, BRN_OpenKey's
// codes for the main key, and the tree store's codes.
BRN_EXPORT int BRN_ImportSubTree(void*& fileHandle, std::string path, bool fresh);

}  // extern "C"
