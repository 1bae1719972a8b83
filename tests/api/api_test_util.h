#pragma once

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <utility>
#include <vector>

#include "brindle.h"
#include "support/temp_dir.h"
#include "vell/output.h"

namespace brindle::testing_api {

inline void* NoHandleValue() {
    return reinterpret_cast<void*>(~uintptr_t{0});
}

using PropertyList = std::list<std::pair<std::string, vell::VariableData>>;

// A database opened through the exports on a fresh directory. Key handles opened through
// it are closed before the file handle, as a host must.
class TestDatabase {
public:
    TestDatabase() : path_(dir_.File("db")) { Open(); }
    ~TestDatabase() { Close(); }
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    void Open() { ASSERT_EQ(BRN_OpenFile(path_.c_str(), file_, 0), BRN_OK); }
    void Close() {
        for (void*& key : keys_) {
            BRN_CloseBRNHandle(key);
        }
        keys_.clear();
        if (file_ != nullptr) {
            BRN_CloseBRNFHandle(file_);
            file_ = nullptr;
        }
    }
    void Reopen() {
        Close();
        Open();
    }

    // BRN_OpenKey; the handle (handed out also on failure) is closed with the database.
    int OpenKey(void*& key, const std::string& main_key, const std::string& path = "",
                unsigned int mode = MODE_OPEN) {
        key = nullptr;
        int result = BRN_OpenKey(file_, key, main_key, path, mode);
        if (key != nullptr && key != NoHandleValue()) {
            keys_.push_back(key);
        }
        return result;
    }
    // A handle that must open.
    void* Key(const std::string& main_key, const std::string& path = "",
              unsigned int mode = MODE_OPEN) {
        void* key = nullptr;
        EXPECT_EQ(OpenKey(key, main_key, path, mode), BRN_OK) << main_key << " " << path;
        return key;
    }

    void*& file() { return file_; }
    const std::string& path() const { return path_; }
    const testsupport::TempDir& dir() const { return dir_; }

private:
    vell::OutputCapture quiet_;  // the pool reports creating new files
    testsupport::TempDir dir_;
    std::string path_;
    void* file_ = nullptr;
    std::vector<void*> keys_;
};

inline std::list<std::string> SubKeys(void* key) {
    std::list<std::string> names;
    EXPECT_EQ(BRN_SelectSubKeys(key, names), BRN_OK);
    return names;
}

inline std::list<std::string> MainKeys(void* key) {
    std::list<std::string> names;
    EXPECT_EQ(BRN_GetAllMainKeys(key, names), BRN_OK);
    return names;
}

inline int Append(void* key, const std::string& name, vell::VariableData value) {
    return BRN_AppendProperty(key, name, value);
}

inline int Edit(void* key, const std::string& name, vell::VariableData value) {
    return BRN_EditProperty(key, name, value);
}

}  // namespace brindle::testing_api
