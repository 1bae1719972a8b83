// The caches behind reads (records held by the name indexes, resolved paths) answer as the
// pages do after every kind of change: edits, renames, deletes, rollbacks, other opens.
#include <gtest/gtest.h>

#include <string>

#include "api_test_util.h"
#include "brindle.h"
#include "brindle_batch.h"

namespace brindle {
namespace {

using testing_api::Append;
using testing_api::TestDatabase;

// The int property `name` of `key`, or minus the result code.
int Read(void* key, const std::string& name) {
    vell::VariableData value;
    const int result = BRN_GetKeyProperty(key, name, value);
    return result == BRN_OK ? value.GetInt() : -result;
}

int Edit(void* key, const std::string& name, int value) {
    vell::VariableData data(value);
    return BRN_EditProperty(key, name, data);
}

// The int property `name` of the key at `path`, opened by path, or minus the result code.
int ReadAt(TestDatabase& db, const std::string& path, const std::string& name) {
    void* key = nullptr;
    const int opened = db.OpenKey(key, "M", path);
    return opened == BRN_OK ? Read(key, name) : -opened;
}

TEST(ReadCachesTest, ReadsFollowEditsDeletesAndRollbacks) {
    TestDatabase db;
    void* key = db.Key("M", "", MODE_CREATE);
    ASSERT_EQ(Append(key, "p", 1), BRN_OK);
    ASSERT_EQ(Append(key, "q", 10), BRN_OK);
    EXPECT_EQ(Read(key, "p"), 1);  // now held
    ASSERT_EQ(Edit(key, "p", 2), BRN_OK);
    EXPECT_EQ(Read(key, "p"), 2);
    {
        Batch batch(db.file());
        ASSERT_EQ(Edit(key, "p", 3), BRN_OK);
        ASSERT_EQ(BRN_DeleteProperty(key, "q"), BRN_OK);
        EXPECT_EQ(Read(key, "p"), 3);
        EXPECT_EQ(Read(key, "q"), -BRN_ERR_PROPERTY_NOT_FOUND);
    }  // rolled back
    EXPECT_EQ(Read(key, "p"), 2);
    EXPECT_EQ(Read(key, "q"), 10);
    ASSERT_EQ(BRN_DeleteProperty(key, "p"), BRN_OK);
    EXPECT_EQ(Read(key, "p"), -BRN_ERR_PROPERTY_NOT_FOUND);
    ASSERT_EQ(Append(key, "p", 4), BRN_OK);
    EXPECT_EQ(Read(key, "p"), 4);
}

TEST(ReadCachesTest, PathsFollowRenamesDeletesAndRollbacks) {
    TestDatabase db;
    void* main = db.Key("M", "", MODE_CREATE);
    std::string b = "b", c = "c", d = "d";
    ASSERT_EQ(BRN_AppendSubKey(main, b), BRN_OK);
    void* key_b = db.Key("M", "b");
    ASSERT_EQ(BRN_AppendSubKey(key_b, c), BRN_OK);
    ASSERT_EQ(Append(db.Key("M", "b\\c"), "v", 1), BRN_OK);
    EXPECT_EQ(ReadAt(db, "b\\c", "v"), 1);  // the path is held now

    ASSERT_EQ(BRN_RenameKeys(key_b, "x"), BRN_OK);
    EXPECT_EQ(ReadAt(db, "b\\c", "v"), -BRN_ERR_KEY_NOT_FOUND);
    EXPECT_EQ(ReadAt(db, "x\\c", "v"), 1);

    // Deleted and made again under the old names: the path names the new key.
    ASSERT_EQ(BRN_DeleteKey(key_b), BRN_OK);
    EXPECT_EQ(ReadAt(db, "x\\c", "v"), -BRN_ERR_KEY_NOT_FOUND);
    b = "x";
    ASSERT_EQ(BRN_AppendSubKey(main, b), BRN_OK);
    void* again = db.Key("M", "x");
    c = "c";
    ASSERT_EQ(BRN_AppendSubKey(again, c), BRN_OK);
    ASSERT_EQ(Append(db.Key("M", "x\\c"), "v", 2), BRN_OK);
    EXPECT_EQ(ReadAt(db, "x\\c", "v"), 2);

    {
        Batch batch(db.file());
        ASSERT_EQ(BRN_AppendSubKey(again, d), BRN_OK);
        ASSERT_EQ(Append(db.Key("M", "x\\d"), "v", 3), BRN_OK);
        EXPECT_EQ(ReadAt(db, "x\\d", "v"), 3);
    }  // rolled back: the key opened by path inside is gone
    EXPECT_EQ(ReadAt(db, "x\\d", "v"), -BRN_ERR_KEY_NOT_FOUND);
    EXPECT_EQ(ReadAt(db, "x\\c", "v"), 2);
}

// A read-only open beside the writer (two opens in one process meet as two processes do):
// its caches follow the writer's commits.
TEST(ReadCachesTest, AReadOnlyOpenFollowsTheWritersChanges) {
    TestDatabase db;
    void* main = db.Key("M", "", MODE_CREATE);
    std::string b = "b";
    ASSERT_EQ(BRN_AppendSubKey(main, b), BRN_OK);
    void* written = db.Key("M", "b");
    ASSERT_EQ(Append(written, "v", 1), BRN_OK);

    void* reader = nullptr;
    ASSERT_EQ(BRN_OpenFile(db.path().c_str(), reader, BRN_OPEN_READ_ONLY), BRN_OK);
    auto read_at = [&](const std::string& path) {
        void* key = nullptr;
        int result = BRN_OpenKey(reader, key, "M", path, MODE_OPEN);
        if (result == BRN_OK) {
            result = -Read(key, "v");
        }
        BRN_CloseBRNHandle(key);
        return -result;
    };
    EXPECT_EQ(read_at("b"), 1);
    ASSERT_EQ(Edit(written, "v", 2), BRN_OK);
    EXPECT_EQ(read_at("b"), 2);
    ASSERT_EQ(BRN_RenameKeys(written, "c"), BRN_OK);
    EXPECT_EQ(read_at("b"), -BRN_ERR_KEY_NOT_FOUND);
    EXPECT_EQ(read_at("c"), 2);
    BRN_CloseBRNFHandle(reader);
}

}  // namespace
}  // namespace brindle
