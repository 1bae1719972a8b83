#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "api_test_util.h"
#include "brindle.h"

namespace brindle {
namespace {

using testing_api::NoHandleValue;
using testing_api::TestDatabase;

const std::string kLongest(255, 'n');
const std::string kTooLong(256, 'n');

// One key-handle export with fixed arguments, and whether it refuses a name argument that
// is empty or longer than 255 characters (102) before it looks at the handle.
struct ExportCall {
    std::string label;
    std::function<int(void*&)> call;
    bool refuses_empty = false;
    bool refuses_long = false;
};

std::vector<ExportCall> Calls(const std::string& name) {
    return {
        {"AppendSubKey",
         [name](void*& h) {
             std::string n = name;
             return BRN_AppendSubKey(h, n);
         },
         false, true},
        {"RenameKeys", [name](void*& h) { return BRN_RenameKeys(h, name); }, true, true},
        {"GetKeyProperty",
         [name](void*& h) {
             vell::VariableData v;
             return BRN_GetKeyProperty(h, name, v);
         },
         true, false},
        {"AppendProperty", [name](void*& h) { return testing_api::Append(h, name, 1); }, true,
         true},
        {"EditProperty", [name](void*& h) { return testing_api::Edit(h, name, 1); }, true, true},
        {"DeleteProperty", [name](void*& h) { return BRN_DeleteProperty(h, name); }, true, true},
        {"ReopenSubKey", [name](void*& h) { return BRN_ReopenSubKey(h, name, MODE_OPEN); }, false,
         true},
        {"SelectSubKeys",
         [](void*& h) {
             testing_api::Names names;
             return BRN_SelectSubKeys(h, names);
         }},
        {"SelectKeyPropertys",
         [](void*& h) {
             testing_api::PropertyList properties;
             return BRN_SelectKeyPropertys(h, properties);
         }},
        {"DeleteKey", [](void*& h) { return BRN_DeleteKey(h); }},
        {"ExportSubTree", [](void*& h) { return BRN_ExportSubTree(h, "/no/such/dir/x", true); }},
        {"ExportSubTree2", [](void*& h) { return BRN_ExportSubTree2(h, "/no/such/dir/x", true); }},
    };
}

TEST(ExportValidationTest, HandleAndArgumentChecksComeInTheCommonOrder) {
    TestDatabase db;
    void* unresolved = nullptr;
    ASSERT_EQ(db.OpenKey(unresolved, "missing"), BRN_ERR_MAIN_KEY_NOT_FOUND);
    for (const std::string& name :
         {std::string("ok"), std::string(), kTooLong, std::string(300, 'n')}) {
        for (ExportCall& c : Calls(name)) {
            const bool refused =
                (name.empty() && c.refuses_empty) || (name.size() > 255 && c.refuses_long);
            void* minus_one = NoHandleValue();
            void* null = nullptr;
            void* handle = unresolved;
            EXPECT_EQ(c.call(minus_one), BRN_ERR_INVALID_ARGUMENT) << c.label;
            EXPECT_EQ(c.call(null), refused ? BRN_ERR_INVALID_ARGUMENT : BRN_ERR_NULL_HANDLE)
                << c.label << " with a name of " << name.size();
            if (name == "ok") {  // a failed open's handle has no main key
                EXPECT_EQ(c.call(handle), BRN_ERR_INVALID_ARGUMENT) << c.label;
            }
        }
    }
    for (unsigned int mode : {MODE_CREATE, MODE_DELETE, MODE_RENAME | MODE_OPEN}) {
        void* null = nullptr;
        EXPECT_EQ(BRN_ReopenSubKey(null, "a", mode), BRN_ERR_BAD_MODE) << mode;
        EXPECT_EQ(BRN_ReopenSubKey(unresolved, "a", mode), BRN_ERR_BAD_MODE) << mode;
    }
    // Listing main keys needs only the handle's file, so a failed open's handle serves.
    testing_api::Names names;
    void* minus_one = NoHandleValue();
    void* null = nullptr;
    EXPECT_EQ(BRN_GetAllMainKeys(unresolved, names), BRN_OK);
    EXPECT_EQ(BRN_GetAllMainKeys(minus_one, names), BRN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(BRN_GetAllMainKeys(null, names), BRN_ERR_NULL_HANDLE);
}

TEST(ExportValidationTest, OpenKeyStoresMinusOneOnlyAfterItsArgumentChecks) {
    TestDatabase db;
    void* const sentinel = reinterpret_cast<void*>(0x1234);
    const std::pair<std::string, std::string> refused[] = {
        {"", ""}, {kTooLong, ""}, {"m", kTooLong}};
    for (auto& [main_key, path] : refused) {
        void* key = sentinel;
        EXPECT_EQ(BRN_OpenKey(db.file(), key, main_key, path, MODE_CREATE),
                  BRN_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(key, sentinel);
    }
    void* key = sentinel;
    void* minus_one = NoHandleValue();
    void* null = nullptr;
    EXPECT_EQ(BRN_OpenKey(minus_one, key, "m", "", MODE_CREATE), BRN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(key, sentinel);
    EXPECT_EQ(BRN_OpenKey(null, key, "m", "", MODE_CREATE), BRN_ERR_NULL_HANDLE);
    EXPECT_EQ(key, NoHandleValue());
    EXPECT_EQ(db.OpenKey(key, kLongest, kLongest, MODE_CREATE), BRN_OK);
}

TEST(ExportValidationTest, LongestNamesWorkAndReadOnlyMainKeysRefuseChanges) {
    TestDatabase db;
    void* key = db.Key("m", "", MODE_CREATE);
    std::string child = kLongest;
    EXPECT_EQ(BRN_AppendSubKey(key, child), BRN_OK);
    EXPECT_EQ(testing_api::Append(key, kLongest, 1), BRN_OK);
    EXPECT_EQ(testing_api::Edit(key, kLongest, 2), BRN_OK);
    vell::VariableData value;
    EXPECT_EQ(BRN_GetKeyProperty(key, kLongest, value), BRN_OK);
    EXPECT_EQ(BRN_GetKeyProperty(key, kTooLong, value), BRN_ERR_PROPERTY_NOT_FOUND);
    EXPECT_EQ(BRN_DeleteProperty(key, kLongest), BRN_OK);

    void* locked = db.Key("locked", "", MODE_CREATE | MODE_READONLY);
    const std::map<std::string, int> reads = {{"GetKeyProperty", BRN_ERR_PROPERTY_NOT_FOUND},
                                              {"ReopenSubKey", BRN_ERR_KEY_NOT_FOUND},
                                              {"SelectSubKeys", BRN_OK},
                                              {"SelectKeyPropertys", BRN_OK}};
    for (int round = 0; round < 2; ++round) {
        for (ExportCall& c : Calls("x")) {
            auto read = reads.find(c.label);
            EXPECT_EQ(c.call(locked), read != reads.end() ? read->second : BRN_ERR_READ_ONLY)
                << c.label;
        }
        db.Reopen();  // the flag is kept with the main key
        locked = db.Key("locked");
    }
}

}  // namespace
}  // namespace brindle
