#include "vell/file_find.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "support/temp_dir.h"

namespace vell {
namespace {

TEST(FileFindTest, ExistenceSizeAndKind) {
    testsupport::TempDir dir;
    FileFind find;
    EXPECT_FALSE(find.FindFirst(dir.File("absent")));
    EXPECT_FALSE(find.FindNext());

    std::ofstream(dir.File("five")) << "12345";
    ASSERT_TRUE(find.FindFirst(dir.File("five")));
    unsigned int high = 7;
    EXPECT_EQ(find.GetSize(high), 5u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(find.GetName(), "five");
    EXPECT_FALSE(find.IsDirectory());

    // A sparse file of 5 GiB: the high word carries the rest.
    const std::string huge = dir.File("huge");
    std::ofstream(huge).close();
    std::filesystem::resize_file(huge, (uint64_t{5} << 30));
    ASSERT_TRUE(find.FindFirst(huge));
    EXPECT_EQ(find.GetSize(high), 1u << 30);
    EXPECT_EQ(high, 1u);

    ASSERT_TRUE(find.FindFirst(dir.path().string() + "/"));
    EXPECT_TRUE(find.IsDirectory());

    // A link that leads nowhere still occupies the path.
    ASSERT_EQ(symlink(dir.File("nowhere").c_str(), dir.File("dangling").c_str()), 0);
    EXPECT_TRUE(find.FindFirst(dir.File("dangling")));
}

TEST(FileFindTest, WildcardsMatchEveryFittingEntryAndBracketsAreLiteral) {
    testsupport::TempDir dir;
    for (const char* name : {"a1.txt", "a2.txt", "b.txt", "[x].dat"}) {
        std::ofstream(dir.File(name)) << name;
    }
    FileFind find;
    ASSERT_TRUE(find.FindFirst(dir.File("a?.txt")));
    std::set<std::string> seen{find.GetName()};
    while (find.FindNext()) {
        seen.insert(find.GetName());
    }
    EXPECT_EQ(seen, (std::set<std::string>{"a1.txt", "a2.txt"}));

    EXPECT_TRUE(find.FindFirst(dir.File("*.dat")));
    EXPECT_EQ(find.GetName(), "[x].dat");
    EXPECT_TRUE(find.FindFirst(dir.File("[x].dat")));
    EXPECT_FALSE(find.FindFirst(dir.File("[x]*.txt")));
    EXPECT_FALSE(find.FindFirst(dir.File("c*")));
    EXPECT_FALSE(find.FindNext());
}

}  // namespace
}  // namespace vell
