#pragma once

// The host interface of the Brindle configuration store.
//
// A host opens a database by path with BRN_OpenFile, opens keys below a main key with
// BRN_OpenKey, reads and changes keys and typed properties through those key handles, and
// closes every key handle before the file handle. Every function that returns a result
// returns one of the BRN_ codes below; BRN_OK (1) is success. Functions not listed as
// catching exceptions may let an MDException pass to the host.

#include <list>
#include <string>
#include <utility>

#include "brindle_codes.h"
#include "brindle_export.h"
#include "md_exception.h"
#include "vell/date_time.h"
#include "vell/variable_data.h"

extern "C" {

// Handles travel as untyped pointers; the all-ones value (-1) means no handle.
BRN_EXPORT int BRN_OpenFile(const char* path, void*& fileHandle, unsigned int options);
BRN_EXPORT void BRN_CloseBRNFHandle(void*& fileHandle);
BRN_EXPORT void BRN_CloseBRNHandle(void*& keyHandle);

BRN_EXPORT int BRN_OpenKey(void*& fileHandle, void*& keyHandle, std::string mainKey,
                           std::string path, unsigned int mode);
BRN_EXPORT int BRN_ReopenSubKey(void*& keyHandle, std::string path, unsigned int mode);
BRN_EXPORT int BRN_SelectSubKeys(void*& keyHandle, std::list<std::string>& names);
BRN_EXPORT int BRN_GetAllMainKeys(void*& keyHandle, std::list<std::string>& names);
BRN_EXPORT int BRN_AppendSubKey(void*& keyHandle, std::string& name);
BRN_EXPORT int BRN_RenameKeys(void*& keyHandle, std::string newName);
BRN_EXPORT int BRN_DeleteKey(void*& keyHandle);

BRN_EXPORT int BRN_GetKeyProperty(void*& keyHandle, std::string name, vell::VariableData& value);
BRN_EXPORT int BRN_SelectKeyPropertys(
    void*& keyHandle, std::list<std::pair<std::string, vell::VariableData>>& properties);
BRN_EXPORT int BRN_AppendProperty(void*& keyHandle, std::string name, vell::VariableData& value);
BRN_EXPORT int BRN_EditProperty(void*& keyHandle, std::string name, vell::VariableData& value);
BRN_EXPORT int BRN_DeleteProperty(void*& keyHandle, std::string name);

BRN_EXPORT int BRN_ExportSubTree(void*& keyHandle, std::string path, bool overwrite);
BRN_EXPORT int BRN_ExportSubTree2(void*& keyHandle, std::string path, bool overwrite);
BRN_EXPORT int BRN_ImportSubTree(void*& fileHandle, std::string path, bool fresh);

}  // extern "C"
