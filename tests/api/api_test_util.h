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

using Names = std::list<std::string>;
using PropertyList = std::list<std::pair<std::string, vell::VariableData>>;

// A database opened through the exports on a fresh directory. Key handles opened through
// it (also those of failed opens) are closed before the file handle, as a host must.
class TestDatabase {
public:
    TestDatabase() : path_(dir_.File("db")) { Open(); }
    ~TestDatabase() { Close(); }

    void Open() { ASSERT_EQ(BRN_OpenFile(path_.c_str(), file_, 0), BRN_OK); }
    void Close() {
        for (void*& key : keys_) {
            BRN_CloseBRNHandle(key);
        }
        keys_.clear();
        BRN_CloseBRNFHandle(file_);
        file_ = nullptr;
    }
    void Reopen() {
        Close();
        Open();
    }
    int OpenKey(void*& key, const std::string& main_key, const std::string& path = "",
                unsigned int mode = MODE_OPEN) {
        int result = BRN_OpenKey(file_, key, main_key, path, mode);
        keys_.push_back(key);
        return result;
    }
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

inline Names SubKeys(void* key) {
    Names names;
    EXPECT_EQ(BRN_SelectSubKeys(key, names), BRN_OK);
    return names;
}

inline int Append(void* key, const std::string& name, vell::VariableData value) {
    return BRN_AppendProperty(key, name, value);
}

inline int Edit(void* key, const std::string& name, vell::VariableData value) {
    return BRN_EditProperty(key, name, value);
}

}  // namespace brindle::testing_api
