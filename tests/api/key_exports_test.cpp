#include <gtest/gtest.h>

#include <list>
#include <string>

#include "api/handles.h"
#include "api_test_util.h"
#include "brindle.h"

namespace brindle {
namespace {

using testing_api::MainKeys;
using testing_api::SubKeys;
using testing_api::TestDatabase;
using Names = std::list<std::string>;

const BRNHandle& Record(void* key) {
    return *static_cast<const BRNHandle*>(key);
}

TEST(KeyExportsTest, FailedOpenStillHandsOutAHandleToClose) {
    TestDatabase db;
    void* key = nullptr;
    EXPECT_EQ(db.OpenKey(key, "missing", "", MODE_OPEN), BRN_ERR_MAIN_KEY_NOT_FOUND);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(Record(key).main_key, nullptr);
    EXPECT_EQ(Record(key).mode, MODE_OPEN);

    void* created = db.Key("m", "ignored\\path", MODE_CREATE | MODE_HIDDEN);
    EXPECT_EQ(Record(created).main_key_name, "m");
    EXPECT_EQ(Record(created).path, "ignored\\path");
    EXPECT_EQ(db.OpenKey(key, "m", "", MODE_CREATE), BRN_ERR_KEY_EXISTS);
    EXPECT_EQ(db.OpenKey(key, "m", "", MODE_CHILD), BRN_ERR_NO_OPERATION);
    EXPECT_EQ(db.OpenKey(key, "m", "", MODE_DELETE), BRN_ERR_MAIN_KEY_DELETE_DENIED);
    EXPECT_EQ(db.OpenKey(key, "ZRDM_SYSTEMNKEY", "", MODE_CREATE), BRN_ERR_RESERVED_MAIN_KEY);

    // A hidden main key is not listed but opens by name.
    ASSERT_NE(db.Key("a", "", MODE_CREATE), nullptr);
    EXPECT_EQ(MainKeys(created), (Names{"a"}));
    EXPECT_NE(db.Key("m"), nullptr);
}

TEST(KeyExportsTest, AppendedSubKeysAreListedAndNamedWhenUnnamed) {
    TestDatabase db;
    void* main = db.Key("m", "", MODE_CREATE);
    Names names{"kept"};
    EXPECT_EQ(BRN_SelectSubKeys(main, names), BRN_OK);
    EXPECT_EQ(names, (Names{"kept"}));  // nothing to list, nothing cleared

    std::string named = "b";
    EXPECT_EQ(BRN_AppendSubKey(main, named), BRN_OK);
    std::string unnamed;
    EXPECT_EQ(BRN_AppendSubKey(main, unnamed), BRN_OK);
    EXPECT_EQ(unnamed, "1");
    std::string again = "b";
    EXPECT_EQ(BRN_AppendSubKey(main, again), BRN_ERR_KEY_EXISTS);
    EXPECT_EQ(SubKeys(main), (Names{"b", "1"}));
    EXPECT_EQ(Record(main).path, "");  // the handle does not move to the new key

    void* first = db.Key("m", "1");
    std::string grandchild;
    EXPECT_EQ(BRN_AppendSubKey(first, grandchild), BRN_OK);
    EXPECT_EQ(grandchild, "1.1");
    EXPECT_NE(db.Key("m", "1.1", MODE_OPEN | MODE_DOTTED), nullptr);

    names.clear();
    EXPECT_EQ(BRN_SelectSubKeys(main, names), BRN_OK);
    EXPECT_EQ(BRN_SelectSubKeys(main, names), BRN_OK);
    EXPECT_EQ(names, (Names{"b", "1", "b", "1"}));
}

TEST(KeyExportsTest, ReopenMovesTheHandleOrLeavesItWhereItWas) {
    TestDatabase db;
    void* main = db.Key("m", "", MODE_CREATE);
    for (std::string name : {"a", "b"}) {
        ASSERT_EQ(BRN_AppendSubKey(main, name), BRN_OK);
    }
    void* a = db.Key("m", "a");
    for (std::string name : {"b", "x"}) {
        ASSERT_EQ(BRN_AppendSubKey(a, name), BRN_OK);
    }
    void* ab = db.Key("m", "a\\b");
    std::string c = "c";
    ASSERT_EQ(BRN_AppendSubKey(ab, c), BRN_OK);

    void* moving = db.Key("m", "a");
    ASSERT_EQ(BRN_ReopenSubKey(moving, "b", MODE_CHILD), BRN_OK);
    ASSERT_EQ(BRN_ReopenSubKey(moving, "c", MODE_CHILD), BRN_OK);
    EXPECT_EQ(Record(moving).path, "a\\b\\c");
    EXPECT_EQ(Record(moving).node, Record(db.Key("m", "a\\b\\c")).node);

    void* dotted = db.Key("m", "a");
    ASSERT_EQ(BRN_ReopenSubKey(dotted, "b", MODE_CHILD | MODE_DOTTED), BRN_OK);
    EXPECT_EQ(Record(dotted).path, "a.b");

    // A missing child: 14, a line on standard output, only the mode changes.
    const BRNHandle before = Record(moving);
    testing::internal::CaptureStdout();
    EXPECT_EQ(BRN_ReopenSubKey(moving, "nope", MODE_CHILD | MODE_DOTTED), BRN_ERR_KEY_NOT_FOUND);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetSubNodeIndex failed,:nope\n");
    EXPECT_EQ(Record(moving).node, before.node);
    EXPECT_EQ(Record(moving).path, before.path);
    EXPECT_EQ(Record(moving).mode, MODE_CHILD | MODE_DOTTED);

    // Without MODE_CHILD the path starts again at the main key.
    void* restart = db.Key("m", "a");
    ASSERT_EQ(BRN_ReopenSubKey(restart, "b", MODE_OPEN), BRN_OK);
    EXPECT_EQ(Record(restart).node, Record(db.Key("m", "b")).node);
    EXPECT_EQ(Record(restart).path, "b");
    const uint64_t node = Record(restart).node;
    EXPECT_EQ(BRN_ReopenSubKey(restart, "x", MODE_OPEN), BRN_ERR_KEY_NOT_FOUND);
    EXPECT_EQ(BRN_ReopenSubKey(restart, "a", MODE_DOTTED), BRN_ERR_NO_OPERATION);
    EXPECT_EQ(Record(restart).node, node);
    EXPECT_EQ(Record(restart).path, "b");
    EXPECT_EQ(Record(restart).mode, MODE_OPEN);
}

TEST(KeyExportsTest, RenameAndDeleteKeys) {
    TestDatabase db;
    void* main = db.Key("m", "", MODE_CREATE);
    for (std::string name : {"a", "b", "c"}) {
        ASSERT_EQ(BRN_AppendSubKey(main, name), BRN_OK);
    }
    void* b = db.Key("m", "b");
    ASSERT_EQ(testing_api::Append(b, "p", vell::VariableData(7)), BRN_OK);
    std::string deep = "deep";
    ASSERT_EQ(BRN_AppendSubKey(b, deep), BRN_OK);

    EXPECT_EQ(BRN_RenameKeys(b, "renamed"), BRN_OK);
    EXPECT_EQ(SubKeys(main), (Names{"a", "renamed", "c"}));
    vell::VariableData value;
    EXPECT_EQ(BRN_GetKeyProperty(b, "p", value), BRN_OK);  // still on the renamed key
    EXPECT_EQ(value.GetInt(), 7);
    EXPECT_EQ(SubKeys(b), (Names{"deep"}));

    EXPECT_EQ(BRN_DeleteKey(b), BRN_OK);
    EXPECT_EQ(SubKeys(main), (Names{"a", "c"}));
    void* gone = nullptr;
    EXPECT_EQ(db.OpenKey(gone, "m", "renamed\\deep"), BRN_ERR_KEY_NOT_FOUND);

    EXPECT_EQ(BRN_DeleteKey(main), BRN_ERR_MAIN_KEY_DELETE_DENIED);

    // A renamed main key keeps its table name until the database is opened again.
    EXPECT_EQ(BRN_RenameKeys(main, "n"), BRN_OK);
    EXPECT_EQ(MainKeys(main), (Names{"m"}));
    db.Reopen();
    void* any = nullptr;
    db.OpenKey(any, "x");
    EXPECT_EQ(MainKeys(any), (Names{"n"}));
    EXPECT_EQ(SubKeys(db.Key("n")), (Names{"a", "c"}));
}

TEST(KeyExportsTest, MainKeyRenameLeavesAHandleWithoutNode) {
    TestDatabase db;
    void* m = db.Key("m", "", MODE_CREATE);
    void* renamer = nullptr;
    ASSERT_EQ(db.OpenKey(renamer, "m", "z", MODE_RENAME), BRN_OK);
    EXPECT_NE(Record(renamer).main_key, nullptr);
    EXPECT_EQ(Record(renamer).node, 0u);
    std::string child = "c";
    EXPECT_EQ(BRN_AppendSubKey(renamer, child), BRN_ERR_BAD_NODE);
    EXPECT_EQ(BRN_DeleteProperty(renamer, "p"), BRN_ERR_BAD_NODE);
    EXPECT_EQ(MainKeys(renamer), (Names{"z"}));
    // A handle opened before the rename stays on the same node.
    EXPECT_EQ(BRN_AppendSubKey(m, child), BRN_OK);
    EXPECT_EQ(SubKeys(db.Key("z")), (Names{"c"}));
    void* old = nullptr;
    EXPECT_EQ(db.OpenKey(old, "m"), BRN_ERR_MAIN_KEY_NOT_FOUND);
}

}  // namespace
}  // namespace brindle
