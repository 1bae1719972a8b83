#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "api_test_util.h"
#include "brindle.h"

namespace brindle {
namespace {

using testing_api::NoHandleValue;
using testing_api::PropertyList;
using testing_api::TestDatabase;

const std::string kLongest(255, 'n');
const std::string kTooLong(256, 'n');

// One export called on a handle variable with fixed arguments.
struct ExportCall {
    std::string label;
    std::function<int(void*&)> call;
};

std::vector<ExportCall> CallsWithName(const std::string& name) {
    return {
        {"AppendSubKey",
         [name](void*& h) {
             std::string n = name;
             return BRN_AppendSubKey(h, n);
         }},
        {"RenameKeys", [name](void*& h) { return BRN_RenameKeys(h, name); }},
        {"GetKeyProperty",
         [name](void*& h) {
             vell::VariableData v;
             return BRN_GetKeyProperty(h, name, v);
         }},
        {"AppendProperty",
         [name](void*& h) {
             vell::VariableData v(1);
             return BRN_AppendProperty(h, name, v);
         }},
        {"EditProperty",
         [name](void*& h) {
             vell::VariableData v(1);
             return BRN_EditProperty(h, name, v);
         }},
        {"DeleteProperty", [name](void*& h) { return BRN_DeleteProperty(h, name); }},
        {"ReopenSubKey", [name](void*& h) { return BRN_ReopenSubKey(h, name, MODE_OPEN); }},
    };
}

std::vector<ExportCall> CallsWithoutName() {
    return {
        {"SelectSubKeys",
         [](void*& h) {
             std::list<std::string> names;
             return BRN_SelectSubKeys(h, names);
         }},
        {"DeleteKey", [](void*& h) { return BRN_DeleteKey(h); }},
        {"SelectKeyPropertys",
         [](void*& h) {
             PropertyList properties;
             return BRN_SelectKeyPropertys(h, properties);
         }},
    };
}

TEST(ExportValidationTest, HandleValuesAreCheckedAroundTheArgumentChecks) {
    TestDatabase db;
    void* unresolved = nullptr;
    ASSERT_EQ(db.OpenKey(unresolved, "missing"), BRN_ERR_MAIN_KEY_NOT_FOUND);

    std::vector<ExportCall> calls = CallsWithName("ok");
    for (ExportCall& call : CallsWithoutName()) {
        calls.push_back(call);
    }
    for (ExportCall& call : calls) {
        void* minus_one = NoHandleValue();
        void* null = nullptr;
        void* handle = unresolved;
        EXPECT_EQ(call.call(minus_one), BRN_ERR_INVALID_ARGUMENT) << call.label;
        EXPECT_EQ(minus_one, NoHandleValue());
        EXPECT_EQ(call.call(null), BRN_ERR_NULL_HANDLE) << call.label;
        EXPECT_EQ(call.call(handle), BRN_ERR_INVALID_ARGUMENT) << call.label;
    }
    // Listing main keys needs only the handle's file, so a failed open's handle serves.
    std::list<std::string> names;
    EXPECT_EQ(BRN_GetAllMainKeys(unresolved, names), BRN_OK);
    void* minus_one = NoHandleValue();
    void* null = nullptr;
    EXPECT_EQ(BRN_GetAllMainKeys(minus_one, names), BRN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(BRN_GetAllMainKeys(null, names), BRN_ERR_NULL_HANDLE);
}

TEST(ExportValidationTest, BadArgumentsAreReportedBeforeANullHandle) {
    struct Case {
        std::string name;
        // Exports that refuse this name with 102; the others reach the null check (109).
        std::vector<std::string> refusing;
    };
    const Case cases[] = {
        {"", {"RenameKeys", "GetKeyProperty", "AppendProperty", "EditProperty", "DeleteProperty"}},
        {kLongest, {}},
        {kTooLong,
         {"AppendSubKey", "RenameKeys", "AppendProperty", "EditProperty", "DeleteProperty",
          "ReopenSubKey"}},
        {std::string(300, 'n'),
         {"AppendSubKey", "RenameKeys", "AppendProperty", "EditProperty", "DeleteProperty",
          "ReopenSubKey"}},
    };
    for (const Case& c : cases) {
        for (ExportCall& call : CallsWithName(c.name)) {
            bool refuses = false;
            for (const std::string& label : c.refusing) {
                refuses = refuses || label == call.label;
            }
            void* null = nullptr;
            EXPECT_EQ(call.call(null), refuses ? BRN_ERR_INVALID_ARGUMENT : BRN_ERR_NULL_HANDLE)
                << call.label << " with a name of " << c.name.size();
        }
    }
    // Mode bits of main-key changes cannot move a handle, whatever the handle.
    for (unsigned int mode : {MODE_CREATE, MODE_DELETE, MODE_RENAME, MODE_OPEN | MODE_RENAME}) {
        void* null = nullptr;
        void* minus_one = NoHandleValue();
        EXPECT_EQ(BRN_ReopenSubKey(null, "a", mode), BRN_ERR_BAD_MODE) << mode;
        EXPECT_EQ(BRN_ReopenSubKey(minus_one, "a", mode), BRN_ERR_INVALID_ARGUMENT) << mode;
    }
}

TEST(ExportValidationTest, OpenKeyStoresMinusOneOnlyAfterItsArgumentChecks) {
    TestDatabase db;
    void* sentinel = reinterpret_cast<void*>(0x1234);
    struct Case {
        std::string main_key;
        std::string path;
    };
    const Case refused[] = {{"", ""}, {kTooLong, ""}, {"m", kTooLong}};
    for (const Case& c : refused) {
        void* key = sentinel;
        EXPECT_EQ(BRN_OpenKey(db.file(), key, c.main_key, c.path, MODE_CREATE),
                  BRN_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(key, sentinel);
    }
    void* key = sentinel;
    void* minus_one = NoHandleValue();
    EXPECT_EQ(BRN_OpenKey(minus_one, key, "m", "", MODE_CREATE), BRN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(key, sentinel);
    void* null = nullptr;
    EXPECT_EQ(BRN_OpenKey(null, key, "m", "", MODE_CREATE), BRN_ERR_NULL_HANDLE);
    EXPECT_EQ(key, NoHandleValue());

    // The longest names are accepted.
    ASSERT_EQ(db.OpenKey(key, kLongest, kLongest, MODE_CREATE), BRN_OK);
    void* open = nullptr;
    EXPECT_EQ(db.OpenKey(open, kLongest, "", MODE_OPEN), BRN_OK);
    EXPECT_EQ(db.OpenKey(open, kLongest, kLongest, MODE_OPEN), BRN_ERR_KEY_NOT_FOUND);
}

TEST(ExportValidationTest, LongestNamesWorkAndReadOnlyMainKeysRefuseChanges) {
    TestDatabase db;
    void* key = db.Key("m", "", MODE_CREATE);
    std::string child = kLongest;
    EXPECT_EQ(BRN_AppendSubKey(key, child), BRN_OK);
    EXPECT_EQ(testing_api::Append(key, kLongest, vell::VariableData(1)), BRN_OK);
    EXPECT_EQ(testing_api::Edit(key, kLongest, vell::VariableData(2)), BRN_OK);
    vell::VariableData value;
    EXPECT_EQ(BRN_GetKeyProperty(key, kLongest, value), BRN_OK);
    EXPECT_EQ(value.GetInt(), 2);
    EXPECT_EQ(BRN_GetKeyProperty(key, kTooLong, value), BRN_ERR_PROPERTY_NOT_FOUND);
    EXPECT_EQ(BRN_DeleteProperty(key, kLongest), BRN_OK);

    void* locked = db.Key("locked", "", MODE_CREATE | MODE_READONLY);
    for (int round = 0; round < 2; ++round) {
        for (ExportCall& call : CallsWithName("x")) {
            if (call.label == "GetKeyProperty" || call.label == "ReopenSubKey") {
                continue;
            }
            EXPECT_EQ(call.call(locked), BRN_ERR_READ_ONLY) << call.label;
        }
        EXPECT_EQ(BRN_DeleteKey(locked), BRN_ERR_READ_ONLY);
        EXPECT_EQ(BRN_GetKeyProperty(locked, "x", value), BRN_ERR_PROPERTY_NOT_FOUND);
        EXPECT_TRUE(testing_api::SubKeys(locked).empty());
        db.Reopen();  // the flag is kept with the main key
        locked = db.Key("locked");
    }
}

}  // namespace
}  // namespace brindle
