#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/handles.h"
#include "api_test_util.h"
#include "brindle.h"
#include "keys/key_operations.h"
#include "pool/page_handle.h"

namespace brindle {
namespace {

using testing_api::Append;
using testing_api::Edit;
using testing_api::Names;
using testing_api::PropertyList;
using testing_api::SubKeys;
using testing_api::TestDatabase;

const BRNHandle& Record(void* key) {
    return *static_cast<const BRNHandle*>(key);
}

TEST(KeyExportsTest, SubKeysAreAppendedNamedListedRenamedAndDeleted) {
    TestDatabase db;
    void* main = db.Key("m", "", MODE_CREATE | MODE_HIDDEN);
    Names names{"kept"};
    EXPECT_EQ(BRN_SelectSubKeys(main, names), BRN_OK);
    EXPECT_EQ(names, Names{"kept"});  // nothing listed, nothing cleared
    EXPECT_EQ(BRN_GetAllMainKeys(main, names), BRN_OK);
    EXPECT_EQ(names, Names{"kept"});  // hidden

    std::string b = "b", unnamed, again = "b";
    EXPECT_EQ(BRN_AppendSubKey(main, b), BRN_OK);
    EXPECT_EQ(BRN_AppendSubKey(main, unnamed), BRN_OK);
    EXPECT_EQ(unnamed, "1");
    EXPECT_EQ(BRN_AppendSubKey(main, again), BRN_ERR_KEY_EXISTS);
    EXPECT_EQ(SubKeys(main), (Names{"b", "1"}));
    std::string deep = "deep";
    void* key_b = db.Key("m", "b");
    ASSERT_EQ(BRN_AppendSubKey(key_b, deep), BRN_OK);
    ASSERT_EQ(Append(key_b, "p", 7), BRN_OK);

    EXPECT_EQ(BRN_RenameKeys(key_b, "renamed"), BRN_OK);  // the handle stays on the key
    EXPECT_EQ(SubKeys(main), (Names{"renamed", "1"}));
    EXPECT_EQ(SubKeys(key_b), Names{"deep"});
    EXPECT_EQ(BRN_DeleteKey(key_b), BRN_OK);
    EXPECT_EQ(SubKeys(main), Names{"1"});
    void* gone = nullptr;
    EXPECT_EQ(db.OpenKey(gone, "m", "renamed\\deep"), BRN_ERR_KEY_NOT_FOUND);
    EXPECT_EQ(BRN_DeleteKey(main), BRN_ERR_MAIN_KEY_DELETE_DENIED);

    // A main key renamed through its handle keeps its table name until the next open.
    EXPECT_EQ(BRN_RenameKeys(main, "n"), BRN_OK);
    EXPECT_NE(db.Key("m"), nullptr);
    db.Reopen();
    EXPECT_EQ(SubKeys(db.Key("n")), Names{"1"});
}

TEST(KeyExportsTest, HandlesMoveOrStayWhereTheyWere) {
    TestDatabase db;
    void* main = db.Key("m", "", MODE_CREATE);
    for (std::string name : {"a", "b"}) {
        ASSERT_EQ(BRN_AppendSubKey(main, name), BRN_OK);
    }
    void* a = db.Key("m", "a");
    std::string name = "b";
    ASSERT_EQ(BRN_AppendSubKey(a, name), BRN_OK);
    void* ab = db.Key("m", "a\\b");
    name = "c";
    ASSERT_EQ(BRN_AppendSubKey(ab, name), BRN_OK);

    void* moving = db.Key("m", "a");
    ASSERT_EQ(BRN_ReopenSubKey(moving, "b", MODE_CHILD), BRN_OK);
    ASSERT_EQ(BRN_ReopenSubKey(moving, "c", MODE_CHILD), BRN_OK);
    EXPECT_EQ(Record(moving).path, "a\\b\\c");
    EXPECT_EQ(Record(moving).node, Record(db.Key("m", "a\\b\\c")).node);
    void* dotted = db.Key("m", "a");
    ASSERT_EQ(BRN_ReopenSubKey(dotted, "b", MODE_CHILD | MODE_DOTTED), BRN_OK);
    EXPECT_EQ(Record(dotted).path, "a.b");

    // A missing child: 14 and a diagnostic line; only the mode changes.
    const BRNHandle before = Record(moving);
    {
        vell::OutputCapture capture;
        EXPECT_EQ(BRN_ReopenSubKey(moving, "nope", MODE_CHILD | MODE_DOTTED),
                  BRN_ERR_KEY_NOT_FOUND);
        EXPECT_EQ(capture.Text(), "GetSubNodeIndex failed,:nope\n");
    }
    EXPECT_EQ(Record(moving).node, before.node);
    EXPECT_EQ(Record(moving).path, before.path);
    EXPECT_EQ(Record(moving).mode, MODE_CHILD | MODE_DOTTED);

    // Without MODE_CHILD the path starts again at the main key; a failure moves nothing.
    ASSERT_EQ(BRN_ReopenSubKey(dotted, "b", MODE_OPEN), BRN_OK);
    EXPECT_EQ(Record(dotted).node, Record(db.Key("m", "b")).node);
    EXPECT_EQ(BRN_ReopenSubKey(dotted, "c", MODE_OPEN), BRN_ERR_KEY_NOT_FOUND);
    EXPECT_EQ(BRN_ReopenSubKey(dotted, "a", MODE_DOTTED), BRN_ERR_NO_OPERATION);
    EXPECT_EQ(Record(dotted).path, "b");
    EXPECT_EQ(Record(dotted).mode, MODE_OPEN);

    // After a main-key rename the renaming handle has no node: it only serves to be closed.
    void* renamer = nullptr;
    ASSERT_EQ(db.OpenKey(renamer, "m", "z", MODE_RENAME), BRN_OK);
    EXPECT_EQ(BRN_AppendSubKey(renamer, name), BRN_ERR_BAD_NODE);
    EXPECT_EQ(BRN_DeleteProperty(renamer, "p"), BRN_ERR_BAD_NODE);
    EXPECT_EQ(SubKeys(main), (Names{"a", "b"}));  // older handles stay on their nodes
}

TEST(PropertyExportsTest, PropertiesAreAppendedEditedInPlaceListedAndDeleted) {
    TestDatabase db;
    void* key = db.Key("m", "", MODE_CREATE);
    vell::VariableData value(99);
    EXPECT_EQ(BRN_GetKeyProperty(key, "a", value), BRN_ERR_PROPERTY_NOT_FOUND);
    EXPECT_EQ(value.GetInt(), 99);
    PropertyList listed{{"kept", 0}};
    EXPECT_EQ(BRN_SelectKeyPropertys(key, listed), BRN_OK);
    EXPECT_EQ(listed.size(), 1u);

    const std::vector<uint8_t> block(3000, 0xA5);  // runs over several pages
    ASSERT_EQ(Append(key, "a", 1), BRN_OK);
    ASSERT_EQ(Append(key, "A", vell::VariableData(block.data(), 3000)), BRN_OK);
    ASSERT_EQ(Append(key, "c", vell::VariableData()), BRN_OK);
    ASSERT_EQ(Edit(key, "a", "now text"), BRN_OK);  // new type, same place
    EXPECT_EQ(BRN_GetKeyProperty(key, "a", value), BRN_OK);
    EXPECT_STREQ(value.GetString(), "now text");
    EXPECT_EQ(BRN_GetKeyProperty(key, "A", value), BRN_OK);  // through a grown buffer
    EXPECT_TRUE(value == vell::VariableData(block.data(), 3000));

    db.Reopen();  // stored, not just cached
    key = db.Key("m");
    EXPECT_EQ(BRN_DeleteProperty(key, "c"), BRN_OK);
    EXPECT_EQ(BRN_SelectKeyPropertys(key, listed), BRN_OK);
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ((++listed.begin())->first, "a");
    EXPECT_EQ(listed.back().first, "A");
    EXPECT_TRUE(listed.back().second == vell::VariableData(block.data(), 3000));
}

TEST(PropertyExportsTest, BadRecordsGiveCodesAndTreeFaultsReachTheHost) {
    TestDatabase db;
    void* key = db.Key("m", "", MODE_CREATE);
    ASSERT_EQ(Append(key, "good", 1), BRN_OK);
    const BRNHandle& handle = Record(key);
    CommonTree& database = *handle.file->database;
    // A record with an unknown value type, written past the exports' encoder.
    const uint8_t bad[] = {9, 0, 0, 0, 'b', 'a', 'd', 0, 10};
    ASSERT_EQ(KeyOperations(database, handle.main_key, handle.node)
                  .AppendProperty("bad", bad, sizeof(bad)),
              Status::kOk);
    vell::VariableData value(5);
    EXPECT_EQ(BRN_GetKeyProperty(key, "bad", value), BRN_ERR_BAD_VALUE);
    EXPECT_EQ(value.GetInt(), 5);
    PropertyList listed;
    EXPECT_EQ(BRN_SelectKeyPropertys(key, listed), BRN_ERR_EXCEPTION);
    EXPECT_EQ(listed.size(), 1u);  // what was decoded before the failure stays

    PageHandle node(database.Pool(), handle.node);
    // Damage in memory only, as a stray write would do it: around the pager.
    PageHeadView damage(const_cast<uint8_t*>(node->Data()));
    damage.SetPageType(9);           // no longer a node page
    database.Tree()->DropIndexes();  // which no cache may hide
    EXPECT_THROW(BRN_GetKeyProperty(key, "good", value), MDException);
    EXPECT_THROW(Append(key, "q", 2), MDException);
    EXPECT_THROW(Edit(key, "good", 2), MDException);
    EXPECT_THROW(BRN_DeleteProperty(key, "good"), MDException);
    damage.SetPageType(5);  // and the locks were released on the way out
    EXPECT_EQ(Edit(key, "good", 2), BRN_OK);
}

}  // namespace
}  // namespace brindle
