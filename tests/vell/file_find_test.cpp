#include "vell/file_find.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace vell {
namespace {

TEST(FileFindTest, ExistenceSizeAndKind) {
    testsupport::TempDir dir;
    EXPECT_FALSE(FindFirstFile(dir.File("absent")));
    EXPECT_FALSE(FindFirstFile(""));

    std::ofstream(dir.File("five")) << "12345";
    std::optional<FoundFile> five = FindFirstFile(dir.File("five"));
    ASSERT_TRUE(five);
    EXPECT_EQ(five->size, 5u);
    EXPECT_FALSE(five->is_directory);

    // A sparse file of 5 GiB: past 32 bits, which an import refuses.
    const std::string huge = dir.File("huge");
    std::ofstream(huge).close();
    std::filesystem::resize_file(huge, (uint64_t{5} << 30));
    EXPECT_EQ(FindFirstFile(huge)->size, uint64_t{5} << 30);

    std::optional<FoundFile> directory = FindFirstFile(dir.path().string() + "/");
    ASSERT_TRUE(directory);
    EXPECT_TRUE(directory->is_directory);
    EXPECT_EQ(directory->size, 0u);

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
