#include "files/data_file_set.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "support/temp_dir.h"
#include "vell/output.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;

TEST(DataFileSetTest, ResizesReadsWritesWithinTheBound) {
    testsupport::TempDir dir;
    DataFileSet set;
    ASSERT_TRUE(set.Open(dir.File("f"), 1, true, 4096));
    ASSERT_TRUE(set.ResetSize(3000, 1));
    uint32_t size = 0;
    ASSERT_TRUE(set.GetSize(1, size));
    EXPECT_EQ(size, 3000u);
    EXPECT_TRUE(set.ResetSize(3000, 1));
    ASSERT_TRUE(set.ResetSize(1000, 1));
    uint64_t size64 = 0;
    ASSERT_TRUE(set.GetSize64(1, size64));
    EXPECT_EQ(size64, 1000u);

    std::vector<uint8_t> data(96, 0xAB);
    EXPECT_TRUE(set.Write(data.data(), 96, 1, 4000));   // ends exactly at the bound
    EXPECT_FALSE(set.Write(data.data(), 97, 1, 4000));  // would end past it
    EXPECT_FALSE(set.Write(data.data(), 1, 2, 0));      // no such file
    EXPECT_FALSE(set.Write(nullptr, 1, 1, 0));
    std::vector<uint8_t> back(96);
    EXPECT_TRUE(set.Read(back.data(), 96, 1, 4000));
    EXPECT_EQ(back, data);

    // A read that runs past the end of the file fails and leaves no stale bytes behind.
    std::vector<uint8_t> tail(200, 0xEE);
    vell::OutputCapture capture;
    EXPECT_FALSE(set.Read(tail.data(), 200, 1, 4000));
    EXPECT_TRUE(capture.Contains("Read file error fileid:1"));
    EXPECT_EQ(tail[0], 0xAB);
    EXPECT_EQ(tail[96], 0);
    EXPECT_EQ(tail[199], 0);
}

}  // namespace
}  // namespace brindle
