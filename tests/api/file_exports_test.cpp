#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "api/handles.h"
#include "api_test_util.h"
#include "brindle.h"
#include "pool/page_handle.h"
#include "pool/write_transaction.h"

namespace brindle {
namespace {

using testing_api::NoHandleValue;
using testing_api::TestDatabase;

TEST(FileExportsTest, OpenRefusesWhatItCannotOpenAndLeavesNothingBehind) {
    testsupport::TempDir dir;
    vell::OutputCapture quiet;
    void* file = reinterpret_cast<void*>(0x5678);
    EXPECT_EQ(BRN_OpenFile(nullptr, file, 0), BRN_ERR_NULL_PATH);
    EXPECT_EQ(file, reinterpret_cast<void*>(0x5678));
    EXPECT_EQ(BRN_OpenFile(dir.File("no/such/dir/db").c_str(), file, 0), BRN_FAIL);
    EXPECT_EQ(file, NoHandleValue());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    void* none = NoHandleValue();
    void* null = nullptr;
    BRN_CloseBRNFHandle(none);
    BRN_CloseBRNFHandle(null);
    BRN_CloseBRNHandle(none);
    BRN_CloseBRNHandle(null);
}

// Another process that holds the database is the tool's test: it holds the lock itself.
TEST(FileExportsTest, ASecondOpenFailsAndHarmsNothing) {
    testsupport::TempDir dir;
    const std::string path = dir.File("db");
    vell::OutputCapture quiet;
    void* first = nullptr;
    ASSERT_EQ(BRN_OpenFile(path.c_str(), first, 0), BRN_OK);
    void* key = nullptr;
    ASSERT_EQ(BRN_OpenKey(first, key, "m", "", MODE_CREATE), BRN_OK);
    vell::VariableData value("kept");
    ASSERT_EQ(BRN_AppendProperty(key, "p", value), BRN_OK);
    void* second = nullptr;
    EXPECT_EQ(BRN_OpenFile(path.c_str(), second, 0), BRN_FAIL);
    EXPECT_EQ(second, NoHandleValue());
    BRN_CloseBRNHandle(key);
    BRN_CloseBRNFHandle(first);

    // Options naming no open mode are refused; the data written before is there.
    EXPECT_EQ(BRN_OpenFile(path.c_str(), first, 0x100u), BRN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(BRN_OpenFile(path.c_str(), first, BRN_OPEN_READ_ONLY | BRN_OPEN_SHARED),
              BRN_ERR_INVALID_ARGUMENT);
    ASSERT_EQ(BRN_OpenFile(path.c_str(), first, 0), BRN_OK);
    ASSERT_EQ(BRN_OpenKey(first, key, "m", "", MODE_OPEN), BRN_OK);
    EXPECT_EQ(BRN_GetKeyProperty(key, "p", value), BRN_OK);
    EXPECT_STREQ(value.GetString(), "kept");
    BRN_CloseBRNHandle(key);
    BRN_CloseBRNFHandle(first);
}

TEST(FileExportsTest, AnExceptionWhileOpeningGives1000AndUnlocksTheFiles) {
    TestDatabase db;
    db.Key("m", "", MODE_CREATE);
    CommonTree& database = *static_cast<BRNFHandle*>(db.file())->database;
    {
        WriteTransaction transaction(database.Pool());
        PageHandle root(database.Pool(), database.Root());
        root->ChangeHead().SetPageType(9);  // no longer a node page
        root.Release();
        transaction.Commit();
    }
    db.Close();
    void* file = nullptr;
    vell::OutputCapture quiet;
    EXPECT_EQ(BRN_OpenFile(db.path().c_str(), file, 0), BRN_ERR_EXCEPTION);
    EXPECT_EQ(file, NoHandleValue());
    EXPECT_EQ(BRN_OpenFile(db.path().c_str(), file, 0), BRN_ERR_EXCEPTION);  // not 0: unlocked
}

}  // namespace
}  // namespace brindle
