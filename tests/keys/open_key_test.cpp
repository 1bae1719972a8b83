#include "keys/open_key.h"

#include <gtest/gtest.h>

#include <string>

#include "brindle.h"
#include "key_test_util.h"
#include "keys/key_operations.h"

namespace brindle {
namespace {

using testing_keys::TestTree;

class OpenKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        db_.Reopen();
        ASSERT_EQ(Open("m", "", MODE_CREATE), BRN_OK);
        main_ = db_.tree->FindMainKey("m");
    }

    int Open(const std::string& main_key, const std::string& path, uint32_t mode) {
        record_ = nullptr;
        node_ = 0;
        return OpenKey(*db_.tree, main_key, path, record_, node_, mode);
    }

    // Appends a child named `name` below `parent` and returns its node.
    uint64_t Child(uint64_t parent, const std::string& name) {
        std::string wanted = name;
        EXPECT_EQ(KeyOperations(*db_.tree, main_, parent).AppendSubKey(wanted), BRN_OK);
        uint64_t child = 0;
        EXPECT_TRUE(db_.tree->Tree()->GetSubNodeIndex(parent, name, child));
        return child;
    }

    TestTree db_;
    MainKeyInfo* main_ = nullptr;
    MainKeyInfo* record_ = nullptr;
    uint64_t node_ = 0;
};

TEST_F(OpenKeyTest, ModeBitsDecideInTheirOrder) {
    struct Case {
        const char* main_key;
        uint32_t mode;
        int expected;
    };
    const Case cases[] = {
        {"m", 0, BRN_ERR_NO_OPERATION},
        {"m", MODE_CHILD | MODE_DOTTED | 0x40, BRN_ERR_NO_OPERATION},
        {"missing", 0, BRN_ERR_MAIN_KEY_NOT_FOUND},
        {"missing", MODE_OPEN | MODE_RENAME | MODE_DELETE, BRN_ERR_MAIN_KEY_NOT_FOUND},
        {"m", MODE_CREATE | MODE_OPEN, BRN_ERR_KEY_EXISTS},
        {"m", MODE_DELETE | MODE_OPEN, BRN_ERR_MAIN_KEY_DELETE_DENIED},  // delete before open
        {"", MODE_OPEN, BRN_ERR_MAIN_KEY_NOT_FOUND},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Open(c.main_key, "", c.mode), c.expected) << c.main_key << " " << c.mode;
        EXPECT_EQ(record_, nullptr);  // nothing is output on failure
        EXPECT_EQ(node_, 0u);
    }
    // Rename goes before delete and open.
    EXPECT_EQ(Open("m", "renamed", MODE_RENAME | MODE_DELETE | MODE_OPEN), BRN_OK);
    EXPECT_EQ(record_, main_);
    EXPECT_EQ(main_->name, "renamed");
    // Create ignores the path and stands on the new main key's own node.
    EXPECT_EQ(Open("fresh", "no\\such\\path", MODE_CREATE | MODE_OPEN), BRN_OK);
    EXPECT_EQ(node_, db_.tree->FindMainKey("fresh")->node);
}

TEST_F(OpenKeyTest, PathsResolveLevelByLevel) {
    const uint64_t a = Child(main_->node, "a");
    const uint64_t b = Child(a, "b");
    const uint64_t slash_a = Child(main_->node, "\\a");
    const uint64_t literal = Child(main_->node, "a\\b");
    const uint64_t x = Child(main_->node, "x");
    const uint64_t x1 = Child(x, "x.1");
    const uint64_t x12 = Child(x1, "x.1.2");

    struct Case {
        const char* path;
        uint32_t mode;
        uint64_t node;  // 0: not found
    };
    const Case cases[] = {
        {"", MODE_OPEN, main_->node},
        {"a", MODE_OPEN, a},
        {"a\\b", MODE_OPEN, b},
        {"a\\b\\", MODE_OPEN, 0},
        {"a\\\\b", MODE_OPEN, 0},
        {"\\a", MODE_OPEN, slash_a},
        {"A", MODE_OPEN, 0},
        {"a\\b", MODE_OPEN | MODE_CHILD, literal},
        {"b", MODE_OPEN | MODE_CHILD, 0},
        {"x.1.2", MODE_OPEN | MODE_DOTTED, x12},
        {"x.1", MODE_OPEN | MODE_DOTTED, x1},
        {"x.1.2", MODE_OPEN, 0},
        {"x\\x.1\\x.1.2", MODE_OPEN, x12},
    };
    for (const Case& c : cases) {
        int result = Open("m", c.path, c.mode);
        if (c.node == 0) {
            EXPECT_EQ(result, BRN_ERR_KEY_NOT_FOUND) << c.path;
            EXPECT_EQ(node_, 0u) << c.path;
        } else {
            EXPECT_EQ(result, BRN_OK) << c.path;
            EXPECT_EQ(node_, c.node) << c.path;
            EXPECT_EQ(record_, main_) << c.path;
        }
    }
    uint64_t node = 12345;
    EXPECT_FALSE(ResolvePath(*db_.tree, nullptr, "a", MODE_OPEN, node));
    EXPECT_FALSE(ResolvePath(*db_.tree, main_, "", MODE_OPEN, node));
    EXPECT_EQ(node, 12345u);
}

TEST_F(OpenKeyTest, GeneratedSubKeyNamesAreReachableByDottedPaths) {
    std::string first;
    KeyOperations at_main(*db_.tree, main_, main_->node);
    ASSERT_EQ(at_main.AppendSubKey(first), BRN_OK);
    EXPECT_EQ(first, "1");
    ASSERT_EQ(Open("m", first, MODE_OPEN), BRN_OK);
    std::string second;
    ASSERT_EQ(KeyOperations(*db_.tree, main_, node_).AppendSubKey(second), BRN_OK);
    EXPECT_EQ(second, "1.1");
    EXPECT_EQ(Open("m", "1.1", MODE_OPEN | MODE_DOTTED), BRN_OK);

    std::string taken = "1";
    EXPECT_EQ(at_main.AppendSubKey(taken), BRN_ERR_KEY_EXISTS);
    EXPECT_EQ(db_.Problems(), "");
}

}  // namespace
}  // namespace brindle
