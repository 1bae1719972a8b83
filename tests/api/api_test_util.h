#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "brindle.h"
#include "support/stored_form.h"
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
    TestDatabase() : TestDatabase(true) {}
    // Left unopened when `open` is false, for files placed in dir() first.
    explicit TestDatabase(bool open) : path_(dir_.File("db")) {
        if (open) {
            Open();
        }
    }
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

using testsupport::StoredForm;

// Every key below `path` of the main key, each line naming a key or one property with the
// size and a hash of its stored form (type and value), in stored order.
inline void Dump(TestDatabase& db, const std::string& main_key, const std::string& path,
                 std::vector<std::string>& lines) {
    void* key = db.Key(main_key, path);
    lines.push_back("key " + path);
    PropertyList properties;
    EXPECT_EQ(BRN_SelectKeyPropertys(key, properties), BRN_OK);
    for (auto& [name, value] : properties) {
        const std::string stored = StoredForm(value);
        lines.push_back(name + "=" + std::to_string(stored.size()) + "/" +
                        std::to_string(std::hash<std::string>()(stored)));
    }
    for (const std::string& child : SubKeys(key)) {
        Dump(db, main_key, path.empty() ? child : path + "\\" + child, lines);
    }
}

inline std::vector<std::string> Dump(TestDatabase& db, const std::string& main_key) {
    std::vector<std::string> lines;
    Dump(db, main_key, "", lines);
    return lines;
}

// Every listed main key with everything below it; `anchor` is a main key that exists.
inline std::vector<std::string> DumpAll(TestDatabase& db, const std::string& anchor) {
    std::vector<std::string> lines;
    void* any = db.Key(anchor);
    Names main_keys;
    EXPECT_EQ(BRN_GetAllMainKeys(any, main_keys), BRN_OK);
    for (const std::string& name : main_keys) {
        lines.push_back("main " + name);
        Dump(db, name, "", lines);
    }
    return lines;
}

inline int Append(void* key, const std::string& name, vell::VariableData value) {
    return BRN_AppendProperty(key, name, value);
}

inline int Edit(void* key, const std::string& name, vell::VariableData value) {
    return BRN_EditProperty(key, name, value);
}

}  // namespace brindle::testing_api
