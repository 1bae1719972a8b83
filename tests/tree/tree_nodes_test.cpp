#include <gtest/gtest.h>

#include "md_exception.h"
#include "tree/pinned_page.h"
#include "tree_test_util.h"

namespace brindle {
namespace {

using testing_tree::OpenTree;
using testing_tree::Property;
using testing_tree::Read;

NodeRecord NodeOf(PagePool& pool, uint64_t node) {
    PinnedPage page(&pool, node, "test");
    return page->ReadNode();
}

std::vector<std::string> ChildNames(TreeStore& tree, uint64_t node) {
    std::vector<std::pair<uint64_t, std::string>> children;
    tree.GetSubNodes(node, children);
    std::vector<std::string> names;
    for (auto& child : children) {
        names.push_back(child.second);
    }
    return names;
}

// A tree of its own on a fresh directory for every test.
class TreeNodesTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    OpenTree db{dir.File("db")};
    TreeStore& tree = *db.tree;
};

TEST_F(TreeNodesTest, SiblingLinksSurviveDeletesInEveryPosition) {
    const uint64_t root = tree.RootPage();
    uint64_t a = 0, b = 0, c = 0, d = 0;
    ASSERT_TRUE(tree.AppendSubNode(root, a, "A"));
    ASSERT_TRUE(tree.AppendSubNode(root, b, "B"));
    ASSERT_TRUE(tree.AppendSubNode(root, c, "C"));
    ASSERT_TRUE(tree.AppendSubNode(root, d, "D"));
    EXPECT_EQ(NodeOf(*db.pool, root).first_child, a);
    EXPECT_EQ(NodeOf(*db.pool, root).last_child, d);
    EXPECT_EQ(NodeOf(*db.pool, c).previous_sibling, b);

    EXPECT_EQ(tree.DeleteNode(b), kTreeOk);  // middle
    EXPECT_EQ(NodeOf(*db.pool, a).next_sibling, c);
    EXPECT_EQ(NodeOf(*db.pool, c).previous_sibling, a);
    EXPECT_EQ(tree.DeleteNode(d), kTreeOk);  // last
    EXPECT_EQ(NodeOf(*db.pool, root).last_child, c);
    EXPECT_EQ(tree.DeleteNode(a), kTreeOk);  // first
    EXPECT_EQ(NodeOf(*db.pool, root).first_child, c);
    EXPECT_EQ(NodeOf(*db.pool, c).previous_sibling, 0u);
    EXPECT_EQ(ChildNames(tree, root), std::vector<std::string>{"C"});
    EXPECT_EQ(db.Problems(), "");

    uint64_t again = 0;
    ASSERT_TRUE(tree.AppendSubNode(root, again, "A"));
    EXPECT_EQ(ChildNames(tree, root), (std::vector<std::string>{"C", "A"}));
    EXPECT_EQ(db.Problems(), "");
}

TEST_F(TreeNodesTest, LookupIsExactAndFindsTheFirstOfDuplicates) {
    uint64_t first = 0, second = 0, found = 0;
    ASSERT_TRUE(tree.AppendSubNode(tree.RootPage(), first, "Name"));
    ASSERT_TRUE(tree.AppendSubNode(tree.RootPage(), second, "Name"));
    EXPECT_FALSE(tree.GetSubNodeIndex(tree.RootPage(), "name", found));
    ASSERT_TRUE(tree.GetSubNodeIndex(tree.RootPage(), "Name", found));
    EXPECT_EQ(found, first);
}

TEST_F(TreeNodesTest, DeletingASubtreeFreesAllOfItsPages) {
    uint64_t top = 0;
    ASSERT_TRUE(tree.AppendSubNode(tree.RootPage(), top, "top"));
    for (int i = 0; i < 5; ++i) {
        uint64_t child = 0, grandchild = 0;
        ASSERT_TRUE(tree.AppendSubNode(top, child, "child" + std::to_string(i)));
        ASSERT_TRUE(tree.AppendSubNode(child, grandchild, std::string(1500, 'g')));
        auto big = Property("big", 3000);
        ASSERT_TRUE(
            tree.AppendNodeRecord(grandchild, big.data(), static_cast<uint32_t>(big.size())));
    }
    VerifyReport full = TreeVerifier::Verify(*db.pool);
    EXPECT_TRUE(full.Sound()) << full.Text();
    EXPECT_EQ(full.nodes, 12u);
    EXPECT_EQ(tree.DeleteNode(top), kTreeOk);
    VerifyReport after = TreeVerifier::Verify(*db.pool);
    EXPECT_TRUE(after.Sound()) << after.Text();
    EXPECT_TRUE(after.leaks.empty()) << after.Text();
    EXPECT_EQ(after.nodes, 1u);
    // Only the root's page and the queue page remain in use.
    EXPECT_EQ(after.free_pages, db.pool->PageCount() - 2);
}

TEST_F(TreeNodesTest, RenamingKeepsThePropertiesInOrder) {
    uint64_t node = 0;
    ASSERT_TRUE(tree.AppendSubNode(tree.RootPage(), node, "old"));
    for (const char* name : {"p1", "p2", "p3"}) {
        auto data = Property(name, 10);
        ASSERT_TRUE(tree.AppendNodeRecord(node, data.data(), static_cast<uint32_t>(data.size())));
    }
    EXPECT_EQ(tree.EditNodeName(node, "renamed"), kTreeOk);
    EXPECT_EQ(tree.EditNodeName(node, ""), kTreeEmptyName);
    std::string name;
    ASSERT_EQ(tree.GetNodeName(node, name), kTreeOk);
    EXPECT_EQ(name, "renamed");
    vell::MemCache buffer;
    uint32_t total = 0;
    ASSERT_EQ(tree.GetNodeAllRecords(node, buffer, total, TreeStore::RecordsForm::kExport8),
              kTreeOk);
    EXPECT_EQ(vell::LoadU32(buffer.Data() + 4), 3u);
    const char* first = reinterpret_cast<const char*>(buffer.Data() + 8 + 4 + 4);
    EXPECT_STREQ(first, "p1");
    EXPECT_EQ(db.Problems(), "");

    uint64_t lonely = 0;  // a node with no properties renamed by appending
    ASSERT_TRUE(tree.AppendSubNode(tree.RootPage(), lonely, "x"));
    EXPECT_EQ(tree.EditNodeName(lonely, "y"), kTreeOk);
    ASSERT_EQ(tree.GetNodeName(lonely, name), kTreeOk);
    EXPECT_EQ(name, "y");
    EXPECT_EQ(db.Problems(), "");
}

TEST_F(TreeNodesTest, GeneratedNamesCountAndWrapAtTheLimit) {
    vell::ReadWriteLock key_lock;
    uint64_t key = 0, child = 0;
    ASSERT_TRUE(tree.AppendSubNode(tree.RootPage(), key, "main"));
    std::string name;
    ASSERT_EQ(tree.NextSubNodeName(&key_lock, key, key, name), kTreeOk);
    EXPECT_EQ(name, "1");
    ASSERT_TRUE(tree.AppendSubNode(key, child, name));
    ASSERT_EQ(tree.NextSubNodeName(&key_lock, key, child, name), kTreeOk);
    EXPECT_EQ(name, "1.1");
    {
        PinnedPage page(db.pool.get(), key, "test");
        NodeRecord record = page->ReadNode();
        record.sub_node_counter = 0x7FFFFFFF;
        page->WriteNode(record);
    }
    ASSERT_EQ(tree.NextSubNodeName(&key_lock, key, key, name), kTreeOk);
    EXPECT_EQ(name, "1");
    EXPECT_EQ(tree.NextSubNodeName(nullptr, key, key, name), kTreeNoMainKey);

    uint64_t long_named = 0;
    ASSERT_TRUE(tree.AppendSubNode(key, long_named, std::string(254, 'n')));
    EXPECT_EQ(tree.NextSubNodeName(&key_lock, key, long_named, name), kTreeNameTooLong);
}

TEST_F(TreeNodesTest, NamesOf823And824CharactersAroundThePageEnd) {
    uint64_t fits = 0, spills = 0;
    ASSERT_TRUE(tree.AppendSubNode(tree.RootPage(), fits, std::string(823, 'a')));
    ASSERT_TRUE(tree.AppendSubNode(tree.RootPage(), spills, std::string(824, 'b')));
    EXPECT_EQ(NodeOf(*db.pool, fits).tail_page, fits);
    EXPECT_NE(NodeOf(*db.pool, spills).tail_page, spills);
    std::string name;
    ASSERT_EQ(tree.GetNodeName(spills, name), kTreeOk);
    EXPECT_EQ(name, std::string(824, 'b'));
    uint64_t found = 0;
    EXPECT_TRUE(tree.GetSubNodeIndex(tree.RootPage(), std::string(824, 'b'), found));
    EXPECT_EQ(db.Problems(), "");
}

}  // namespace
}  // namespace brindle
