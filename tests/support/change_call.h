#pragma once

#include <string>

#include "brindle.h"

namespace testsupport {

// The changing calls a test's writer makes through the exports.
enum class ChangeCall { kEdit, kAppend, kDelete, kAddKey, kDeleteKey };

// Opens the key at `path` below `main_key` and makes one changing call on it: sets, appends or
// deletes the property `name`, appends the child `name`, or deletes the key itself. BRN_OK or
// the first failing code.
inline int PerformChange(void* file, const std::string& main_key, const std::string& path,
                         ChangeCall call, const std::string& name,
                         const vell::VariableData& value) {
    void* key = nullptr;
    int result = BRN_OpenKey(file, key, main_key, path, MODE_OPEN);
    if (result == BRN_OK) {
        vell::VariableData copy = value;
        std::string child = name;
        switch (call) {
            case ChangeCall::kEdit:
                result = BRN_EditProperty(key, name, copy);
                break;
            case ChangeCall::kAppend:
                result = BRN_AppendProperty(key, name, copy);
                break;
            case ChangeCall::kDelete:
                result = BRN_DeleteProperty(key, name);
                break;
            case ChangeCall::kAddKey:
                result = BRN_AppendSubKey(key, child);
                break;
            case ChangeCall::kDeleteKey:
                result = BRN_DeleteKey(key);
                break;
        }
    }
    BRN_CloseBRNHandle(key);
    return result;
}

}  // namespace testsupport
