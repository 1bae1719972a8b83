#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "api/handles.h"
#include "api_test_util.h"
#include "brindle.h"
#include "pool/page_handle.h"
#include "pool/page_pool.h"

namespace brindle {
namespace {

using testing_api::NoHandleValue;
using testing_api::TestDatabase;

TEST(FileExportsTest, OpenRefusesWhatItCannotOpenAndLeavesNothingBehind) {
    testsupport::TempDir dir;
    vell::OutputCapture quiet;
    void* sentinel = reinterpret_cast<void*>(0x5678);
    void* file = sentinel;
    EXPECT_EQ(BRN_OpenFile(nullptr, file, 0), BRN_ERR_NULL_PATH);
    EXPECT_EQ(file, sentinel);

    const std::string missing = dir.File("no/such/dir/db");
    EXPECT_EQ(BRN_OpenFile(missing.c_str(), file, 0), BRN_FAIL);
    EXPECT_EQ(file, NoHandleValue());
    EXPECT_FALSE(std::filesystem::exists(dir.File("no")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    // Closing accepts the values that are no handle.
    void* none = NoHandleValue();
    void* null = nullptr;
    BRN_CloseBRNFHandle(none);
    BRN_CloseBRNFHandle(null);
    BRN_CloseBRNHandle(none);
    BRN_CloseBRNHandle(null);
    EXPECT_EQ(none, NoHandleValue());
}

TEST(FileExportsTest, KeysSurviveReopenWhateverTheOptionsWord) {
    TestDatabase db;
    void* key = db.Key("m", "", MODE_CREATE);
    std::string child = "c";
    ASSERT_EQ(BRN_AppendSubKey(key, child), BRN_OK);
    void* below = db.Key("m", "c");
    ASSERT_EQ(testing_api::Append(below, "p", vell::VariableData("v")), BRN_OK);
    db.Close();

    void* file = nullptr;
    ASSERT_EQ(BRN_OpenFile(db.path().c_str(), file, 0xFFFFFFFFu), BRN_OK);
    void* reopened = nullptr;
    ASSERT_EQ(BRN_OpenKey(file, reopened, "m", "c", MODE_OPEN), BRN_OK);
    vell::VariableData value;
    EXPECT_EQ(BRN_GetKeyProperty(reopened, "p", value), BRN_OK);
    EXPECT_STREQ(value.GetString(), "v");
    BRN_CloseBRNHandle(reopened);
    BRN_CloseBRNFHandle(file);
}

TEST(FileExportsTest, ASecondOpenOfAnOpenDatabaseFailsHereAndInAnotherProcess) {
    testsupport::TempDir dir;
    const std::string path = dir.File("db");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    // Fork before this process runs any thread of its own.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte;
        close(ready[1]);
        if (read(ready[0], &byte, 1) != 1) {
            _exit(2);
        }
        vell::OutputCapture quiet;
        void* file = nullptr;
        int result = BRN_OpenFile(path.c_str(), file, 0);
        _exit(result == BRN_FAIL && file == NoHandleValue() ? 0 : 1);
    }
    close(ready[0]);
    vell::OutputCapture quiet;
    void* first = nullptr;
    ASSERT_EQ(BRN_OpenFile(path.c_str(), first, 0), BRN_OK);
    ASSERT_EQ(write(ready[1], "x", 1), 1);
    close(ready[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the other process could open the database";

    void* second = nullptr;
    EXPECT_EQ(BRN_OpenFile(path.c_str(), second, 0), BRN_FAIL);
    EXPECT_EQ(second, NoHandleValue());

    // The first handle still works and its data is intact after the refused opens.
    void* key = nullptr;
    ASSERT_EQ(BRN_OpenKey(first, key, "m", "", MODE_CREATE), BRN_OK);
    BRN_CloseBRNHandle(key);
    BRN_CloseBRNFHandle(first);
    ASSERT_EQ(BRN_OpenFile(path.c_str(), first, 0), BRN_OK);
    ASSERT_EQ(BRN_OpenKey(first, key, "m", "", MODE_OPEN), BRN_OK);
    BRN_CloseBRNHandle(key);
    BRN_CloseBRNFHandle(first);
}

TEST(FileExportsTest, AnExceptionWhileOpeningGives1000) {
    TestDatabase db;
    void* key = db.Key("m", "", MODE_CREATE);
    (void)key;
    // Damage the root node's page type; the open finds it when it opens the tree.
    CommonTree& database = *static_cast<BRNFHandle*>(db.file())->database;
    {
        PageHandle root(database.Pool(), database.Root());
        root->Head().SetPageType(9);
        root->SetDirty();
    }
    db.Close();
    void* file = nullptr;
    vell::OutputCapture quiet;
    EXPECT_EQ(BRN_OpenFile(db.path().c_str(), file, 0), BRN_ERR_EXCEPTION);
    EXPECT_EQ(file, NoHandleValue());
    // The refused open closed its pool again: the files are not left locked.
    EXPECT_EQ(BRN_OpenFile(db.path().c_str(), file, 0), BRN_ERR_EXCEPTION);
}

}  // namespace
}  // namespace brindle
