#include <gtest/gtest.h>

#include "md_exception.h"
#include "tree/pinned_page.h"
#include "tree_test_util.h"

namespace brindle {
namespace {

using testing_tree::OpenTree;

TEST(TreeOpenTest, CreatesTheQueueAndRootFromTheFreeListTail) {
    testsupport::TempDir dir;
    std::string path = dir.File("db");
    {
        OpenTree db(path);
        ASSERT_TRUE(db.ok);
        EXPECT_EQ(db.pool->FirstQueuePage(), 10u);
        EXPECT_EQ(db.tree->RootPage(), 9u);
        EXPECT_TRUE(db.pool->TreeFlags() & kCommonTreePresent);
        std::string name;
        ASSERT_EQ(db.tree->GetNodeName(9, name), Status::kOk);
        EXPECT_EQ(name, "ZRCONFIG -- ROOT");
        EXPECT_TRUE(db.tree->OpenTree(TreeStore::kOpenMustExist));  // already open
        EXPECT_EQ(db.Problems(), "");
    }
    OpenTree reopened(path);
    ASSERT_TRUE(reopened.ok);
    EXPECT_EQ(reopened.tree->RootPage(), 9u);
    EXPECT_EQ(reopened.Problems(), "");
}

// A pool that says it holds a tree but names no queue is damaged, not empty.
TEST(TreeOpenTest, ATreeWithoutAQueueIsAFormatError) {
    testsupport::TempDir dir;
    Pager pool;
    testing_pool::SetDatabaseOptions(pool.Options());
    ASSERT_TRUE(pool.Open(dir.File("c")));
    pool.SetTreeAnchor(kCommonTreePresent, 0);
    TreeStore tree(&pool, "root");
    try {
        tree.OpenTree(TreeStore::kOpenCreate);
        FAIL() << "opened a tree without a queue";
    } catch (const MDException& e) {
        EXPECT_STREQ(e.GetMessage(), "Open tree failed ,file format error -- Open tree");
    }
}

}  // namespace
}  // namespace brindle
