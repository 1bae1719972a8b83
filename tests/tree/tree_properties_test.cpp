#include <gtest/gtest.h>

#include "md_exception.h"
#include "tree/pinned_page.h"
#include "tree/property_record.h"
#include "tree_test_util.h"

namespace brindle {
namespace {

using testing_tree::OpenTree;
using testing_tree::Property;
using testing_tree::PropertyOfSize;
using testing_tree::Read;

class TreePropertiesTest : public ::testing::Test {
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
    uint32_t PieceCount(uint64_t page) {
        PinnedPage pinned(db_->pool.get(), page, "test");
        return pinned.Head().PieceCount();
    }
    bool IsFree(uint64_t page) {
        PinnedPage pinned(db_->pool.get(), page, PinnedPage::ReadOnlyTag{}, "test");
        return pinned.Head().Has(kPageUnused);
    }

    testsupport::TempDir dir_;
    std::unique_ptr<OpenTree> db_;
    uint64_t node_ = 0;
};

TEST_F(TreePropertiesTest, AHeaderNeedsFortyBytesOfRoom) {
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

TEST_F(TreePropertiesTest, DataThatExactlyFillsAPageTakesNoContinuation) {
    ASSERT_TRUE(Append(PropertyOfSize("exact", 822 - 40)));
    PinnedPage page(db_->pool.get(), node_, "test");
    EXPECT_FALSE(page.Head().Has(kPageMoreData));
    EXPECT_EQ(page->Room(), 0u);
    EXPECT_EQ(page->ReadNode().tail_page, node_);
}

TEST_F(TreePropertiesTest, ThreePageValuesReadBackWholeAndFreeTheirPagesOnDelete) {
    auto big = Property("big", 2000, 0x5A);  // 782 here, 952 in a second page, the rest in a third
    ASSERT_TRUE(Append(big));
    EXPECT_EQ(Read(tree(), node_, "big"), big);
    uint64_t second = 0, third = 0;
    {
        PinnedPage page(db_->pool.get(), node_, "test");
        second = page.Head().Next();
        PinnedPage next(db_->pool.get(), second, "test");
        third = next.Head().Next();
    }
    EXPECT_EQ(db_->Problems(), "");
    std::vector<uint8_t> buffer(big.size() - 1);
    uint32_t length = static_cast<uint32_t>(buffer.size());
    EXPECT_EQ(tree().GetNodeRecord(node_, Find("big"), buffer.data(), length), kTreeBufferTooSmall);
    EXPECT_EQ(length, big.size());

    EXPECT_EQ(tree().DeleteNodePropertyByName(node_, "big"), kTreeOk);
    EXPECT_TRUE(IsFree(second));
    EXPECT_TRUE(IsFree(third));
    EXPECT_EQ(tree().DeleteNodePropertyByName(node_, "big"), kTreeNotFound);
    EXPECT_EQ(tree().DeleteNodePropertyByName(node_, ""), kTreeEmptyPropertyName);
    VerifyReport report = TreeVerifier::Verify(*db_->pool);
    EXPECT_TRUE(report.Sound()) << report.Text();
    EXPECT_TRUE(report.leaks.empty()) << report.Text();
}

TEST_F(TreePropertiesTest, DeleteAndReplaceInEveryPositionKeepTheChain) {
    for (const char* name : {"first", "middle", "last"}) {
        ASSERT_TRUE(Append(Property(name, 20)));
    }
    auto names = [&] {
        vell::MemCache buffer;
        uint32_t total = 0;
        EXPECT_EQ(
            tree().GetNodeAllRecords(node_, buffer, total, TreeStore::RecordsForm::kListing24),
            kTreeOk);
        std::vector<std::string> out;
        uint32_t at = 24;
        for (uint32_t i = 0; i < vell::LoadU32(buffer.Data() + 20); ++i) {
            uint32_t length = vell::LoadU32(buffer.Data() + at);
            out.emplace_back(reinterpret_cast<const char*>(buffer.Data() + at + 8));
            at += 4 + length;
        }
        EXPECT_EQ(vell::LoadU32(buffer.Data() + 12), total - 16);
        return out;
    };
    auto replacement = Property("middle", 30, 9);
    ASSERT_EQ(tree().ReplaceNodeProperty(node_, "middle", replacement.data(),
                                         static_cast<uint32_t>(replacement.size())),
              kTreeOk);
    EXPECT_EQ(names(), (std::vector<std::string>{"first", "middle", "last"}));
    EXPECT_EQ(Read(tree(), node_, "middle"), replacement);

    EXPECT_EQ(tree().DeleteNodePropertyByName(node_, "last"), kTreeOk);
    ASSERT_TRUE(Append(Property("last", 5)));
    EXPECT_EQ(tree().DeleteNodePropertyByName(node_, "first"), kTreeOk);
    ASSERT_TRUE(Append(Property("first", 5)));
    EXPECT_EQ(names(), (std::vector<std::string>{"middle", "last", "first"}));
    EXPECT_EQ(db_->Problems(), "");

    for (const char* name : {"middle", "last", "first"}) {
        EXPECT_EQ(tree().DeleteNodePropertyByName(node_, name), kTreeOk);
    }
    EXPECT_TRUE(names().empty());
    EXPECT_EQ(db_->Problems(), "");  // the name record is last again
    try {
        RecordPos name_record{kNodeRecordSize, node_};
        auto data = Property("x", 1);
        tree().InsertNodeRecord(node_, name_record, data.data(),
                                static_cast<uint32_t>(data.size()));
        FAIL() << "inserted in front of the name";
    } catch (const MDException& e) {
        EXPECT_STREQ(e.GetMessage(), "Pre data pos is NULL -- InsertNodeRecord");
    }
}

TEST_F(TreePropertiesTest, EditStoresTheTypedValueInPlace) {
    ASSERT_TRUE(Append(Property("before", 3)));
    ASSERT_TRUE(Append(Property("value", 3)));
    ASSERT_TRUE(Append(Property("after", 3)));
    EXPECT_EQ(tree().EditNodeProperty(node_, "value", vell::VariableData(int64_t{-5})), kTreeOk);
    EXPECT_EQ(tree().EditNodeProperty(node_, "missing", vell::VariableData(1)), kTreeNotFound);
    std::vector<uint8_t> stored = Read(tree(), node_, "value");
    NamedValue decoded;
    ASSERT_TRUE(DecodeProperty(stored.data(), static_cast<uint32_t>(stored.size()), decoded));
    EXPECT_EQ(decoded.first, "value");
    EXPECT_EQ(decoded.second.GetInt64(), -5);
    EXPECT_EQ(Find("value").page, Find("after").page);
    EXPECT_EQ(db_->Problems(), "");
}

// A property that fills the node page and leaves less than 40 bytes in its continuation
// page; a small property appended, deleted, and another appended: the first must stay whole.
TEST_F(TreePropertiesTest, TailRepairNeverCutsDataThatRunsOn) {
    auto first = PropertyOfSize("first", 782 + 930, 0x31);  // 22 bytes left in page two
    ASSERT_TRUE(Append(first));
    ASSERT_TRUE(Append(Property("small", 8)));
    EXPECT_EQ(tree().DeleteNodePropertyByName(node_, "small"), kTreeOk);
    ASSERT_TRUE(Append(Property("another", 8)));
    EXPECT_EQ(Read(tree(), node_, "first"), first);
    EXPECT_EQ(Read(tree(), node_, "another"), Property("another", 8));
    EXPECT_EQ(db_->Problems(), "");

    db_.reset();  // and after reopening
    db_ = std::make_unique<OpenTree>(dir_.File("db"));
    EXPECT_EQ(Read(tree(), node_, "first"), first);
    EXPECT_EQ(db_->Problems(), "");
}

}  // namespace
}  // namespace brindle
