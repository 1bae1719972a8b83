#include "vell/file_find.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace vell {
namespace {

// Sizes past 32 bits and directories are checked where the import refuses them.
TEST(FileFindTest, ExistenceSizeAndDanglingLinks) {
    testsupport::TempDir dir;
    EXPECT_FALSE(FindFirstFile(dir.File("absent")));
    EXPECT_FALSE(FindFirstFile(""));
    std::ofstream(dir.File("five")) << "12345";
    EXPECT_EQ(FindFirstFile(dir.File("five"))->size, 5u);
    // A link that leads nowhere still occupies the path.
    ASSERT_EQ(symlink(dir.File("nowhere").c_str(), dir.File("dangling").c_str()), 0);
    EXPECT_TRUE(FindFirstFile(dir.File("dangling")));
}

TEST(FileFindTest, WildcardsTakeTheFirstMatchAndBracketsAreLiteral) {
    testsupport::TempDir dir;
    for (const char* name : {"a2.txt", "a1.txt", "b.txt", "[x].dat"}) {
        std::ofstream(dir.File(name)) << name;
    }
    EXPECT_EQ(FindFirstFile(dir.File("a?.txt"))->path, dir.File("a1.txt"));
    EXPECT_EQ(FindFirstFile(dir.File("*.dat"))->path, dir.File("[x].dat"));
    EXPECT_TRUE(FindFirstFile(dir.File("[x].dat")));
    EXPECT_FALSE(FindFirstFile(dir.File("[x]*.txt")));
    EXPECT_FALSE(FindFirstFile(dir.File("c*")));
}

}  // namespace
}  // namespace vell
