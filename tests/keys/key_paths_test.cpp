#include "keys/key_paths.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brindle {
namespace {

using Parts = std::vector<std::string>;

struct SplitCase {
    std::string path;
    Parts expected;
};

TEST(KeyPathsTest, SplitKeyPathCutsAtEveryBackslashUnlessItLeads) {
    const SplitCase cases[] = {
        {"a", {"a"}},
        {"a\\b\\c", {"a", "b", "c"}},
        {"a\\\\b", {"a", "", "b"}},  // an empty level between two separators
        {"a\\b\\", {"a", "b", ""}},  // an empty last level
        {"\\a\\b", {"\\a\\b"}},      // a leading separator: the whole path is one name
        {"a.b", {"a.b"}},
    };
    for (const SplitCase& c : cases) {
        Parts parts{"left over"};
        EXPECT_TRUE(SplitKeyPath(c.path, parts)) << c.path;
        EXPECT_EQ(parts, c.expected) << c.path;
    }
    Parts parts{"left over"};
    EXPECT_FALSE(SplitKeyPath("", parts));
    EXPECT_TRUE(parts.empty());
}

TEST(KeyPathsTest, SplitDottedPathGivesEveryDottedPrefix) {
    const SplitCase cases[] = {
        {"x", {"x"}},
        {"x.1.2", {"x", "x.1", "x.1.2"}},
        {"a..b", {"a", "a.", "a..b"}},
        {"a.b.", {"a", "a.b", "a.b."}},
        {".a.b", {".a.b"}},
        {"a\\b", {"a\\b"}},
    };
    for (const SplitCase& c : cases) {
        Parts parts;
        EXPECT_TRUE(SplitDottedPath(c.path, parts)) << c.path;
        EXPECT_EQ(parts, c.expected) << c.path;
    }
    Parts parts;
    EXPECT_FALSE(SplitDottedPath("", parts));
}

}  // namespace
}  // namespace brindle
