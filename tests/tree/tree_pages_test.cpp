#include <gtest/gtest.h>

#include "tree/pinned_page.h"
#include "tree_test_util.h"

namespace brindle {
namespace {

using testing_tree::OpenTree;
using testing_tree::Property;
using testing_tree::PropertyOfSize;
using testing_tree::Read;

NodeRecord NodeOf(Pager& pool, uint64_t node) {
    PinnedPage page(&pool, node, "test");
    return page->ReadNode();
}

// Names and property records at the edges of a page, and the counter of generated names.
class TreePagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        db_ = std::make_unique<OpenTree>(dir_.File("db"));
        ASSERT_TRUE(db_->ok);
        // A node named "n": its page has 952 - 88 - 40 - 2 = 822 bytes of room.
        ASSERT_TRUE(tree().AppendSubNode(tree().RootPage(), node_, "n"));
    }
    TreeStore& tree() { return *db_->tree; }
    bool Append(const std::vector<uint8_t>& data) {
        return tree().AppendNodeRecord(node_, data.data(), static_cast<uint32_t>(data.size()));
    }
    RecordPos Find(const std::string& name) {
        RecordPos position;
        EXPECT_TRUE(tree().FindNodeProperty(node_, name, position)) << name;
        return position;
    }

    testsupport::TempDir dir_;
    std::unique_ptr<OpenTree> db_;
    uint64_t node_ = 0;
};

TEST_F(TreePagesTest, AHeaderNeedsFortyBytesOfRoom) {
    // 822 - 40 - 743 leaves 39 bytes: the next record starts on a new page.
    ASSERT_TRUE(Append(PropertyOfSize("a", 743)));
    ASSERT_TRUE(Append(Property("b", 4)));
    EXPECT_NE(Find("b").page, node_);
    EXPECT_EQ(Find("b").offset, 0u);
    EXPECT_EQ(db_->Problems(), "");

    // A fresh node: 40 bytes left take the header, the data runs on.
    ASSERT_TRUE(tree().AppendSubNode(tree().RootPage(), node_, "m"));
    ASSERT_TRUE(Append(PropertyOfSize("a", 742)));
    ASSERT_TRUE(Append(Property("b", 4)));
    EXPECT_EQ(Find("b").page, node_);
    EXPECT_EQ(Find("b").offset, 912u);
    EXPECT_EQ(Read(tree(), node_, "b"), Property("b", 4));
    EXPECT_EQ(db_->Problems(), "");
}

TEST_F(TreePagesTest, DataThatExactlyFillsAPageTakesNoContinuation) {
    ASSERT_TRUE(Append(PropertyOfSize("exact", 822 - 40)));
    PinnedPage page(db_->pool.get(), node_, "test");
    EXPECT_FALSE(page.Head().Has(kPageMoreData));
    EXPECT_EQ(page->Room(), 0u);
    EXPECT_EQ(page->ReadNode().tail_page, node_);
}

// A property that fills the node page and leaves less than 40 bytes in its continuation
// page; a small property appended, deleted, and another appended: the first must stay whole.
TEST_F(TreePagesTest, TailRepairNeverCutsDataThatRunsOn) {
    auto first = PropertyOfSize("first", 782 + 930, 0x31);  // 22 bytes left in page two
    ASSERT_TRUE(Append(first));
    ASSERT_TRUE(Append(Property("small", 8)));
    EXPECT_EQ(tree().DeleteNodePropertyByName(node_, "small"), Status::kOk);
    ASSERT_TRUE(Append(Property("another", 8)));
    EXPECT_EQ(Read(tree(), node_, "first"), first);
    EXPECT_EQ(Read(tree(), node_, "another"), Property("another", 8));
    EXPECT_EQ(db_->Problems(), "");

    db_.reset();  // and after reopening
    db_ = std::make_unique<OpenTree>(dir_.File("db"));
    EXPECT_EQ(Read(tree(), node_, "first"), first);
    EXPECT_EQ(db_->Problems(), "");
}

TEST_F(TreePagesTest, GeneratedNamesCountAndWrapAtTheLimit) {
    // The names themselves ("1", "x.1.1") are the key layer's test.
    vell::ReadWriteLock key_lock;
    uint64_t key = 0;
    ASSERT_TRUE(tree().AppendSubNode(tree().RootPage(), key, "main"));
    std::string name;
    {
        PinnedPage page(db_->pool.get(), key, "test");
        NodeRecord record = page->ReadNode();
        record.sub_node_counter = 0x7FFFFFFF;
        page->WriteNode(record);
    }
    ASSERT_EQ(tree().NextSubNodeName(&key_lock, key, key, name), Status::kOk);
    EXPECT_EQ(name, "1");
    EXPECT_EQ(tree().NextSubNodeName(nullptr, key, key, name), Status::kNoMainKey);

    uint64_t long_named = 0;
    ASSERT_TRUE(tree().AppendSubNode(key, long_named, std::string(254, 'n')));
    EXPECT_EQ(tree().NextSubNodeName(&key_lock, key, long_named, name), Status::kNameTooLong);
}

TEST_F(TreePagesTest, NamesOf823And824CharactersAroundThePageEnd) {
    uint64_t fits = 0, spills = 0;
    ASSERT_TRUE(tree().AppendSubNode(tree().RootPage(), fits, std::string(823, 'a')));
    ASSERT_TRUE(tree().AppendSubNode(tree().RootPage(), spills, std::string(824, 'b')));
    EXPECT_EQ(NodeOf(*db_->pool, fits).tail_page, fits);
    EXPECT_NE(NodeOf(*db_->pool, spills).tail_page, spills);
    std::string name;
    ASSERT_EQ(tree().GetNodeName(spills, name), Status::kOk);
    EXPECT_EQ(name, std::string(824, 'b'));
    uint64_t found = 0;
    EXPECT_TRUE(tree().GetSubNodeIndex(tree().RootPage(), std::string(824, 'b'), found));
    EXPECT_EQ(db_->Problems(), "");
}

}  // namespace
}  // namespace brindle
