#include <gtest/gtest.h>

#include "md_exception.h"
#include "pool/pager.h"
#include "pool_test_util.h"
#include "vell/endian.h"
#include "vell/output.h"

namespace brindle {
namespace {

using testing_pool::OpenPool;
using testing_pool::ReadFileBytes;
using testing_pool::WriteFileBytes;
using vell::LoadU32;
using vell::LoadU64;

TEST(PoolFormatTest, NewPoolFileOneIsLaidOutByteForByte) {
    testsupport::TempDir dir;
    std::string path = dir.File("cdfile");
    { ASSERT_NE(OpenPool(path), nullptr); }
    std::vector<uint8_t> bytes = ReadFileBytes(path + "001");
    ASSERT_EQ(bytes.size(), 11u * 1024);

    const uint8_t* head = bytes.data();
    EXPECT_EQ(LoadU32(head + 0x00), 168u);
    EXPECT_EQ(LoadU32(head + 0x04), 1u);
    EXPECT_EQ(LoadU32(head + 0x08), 0x00090100u);
    EXPECT_EQ(LoadU32(head + 0x0C), 0x40u | 0x80000u);  // closed in order after the close
    EXPECT_EQ(LoadU32(head + 0x10), 1024u);
    EXPECT_EQ(LoadU32(head + 0x18), 1024u);
    EXPECT_EQ(LoadU64(head + 0x20), 10u);
    EXPECT_EQ(LoadU32(head + 0x28), 1u);
    EXPECT_EQ(LoadU32(head + 0x2C), 2097152000u);
    EXPECT_EQ(LoadU64(head + 0x30), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(head + 0x3C), "cdfile");
    EXPECT_EQ(LoadU64(head + 0xA0), 0u);
    for (size_t i = 168; i < 1024; ++i) {
        ASSERT_EQ(head[i], 0) << "head area byte " << i;
    }
    for (uint64_t n = 1; n <= 10; ++n) {
        const uint8_t* page = bytes.data() + n * 1024;
        EXPECT_EQ(LoadU64(page + 0x00), n);
        EXPECT_EQ(LoadU32(page + 0x08), 1u);
        EXPECT_EQ(LoadU32(page + 0x0C), n * 1024);
        EXPECT_EQ(LoadU32(page + 0x14), 0xFFFFFFFFu);
        EXPECT_EQ(LoadU32(page + 0x1C), 0x1u | 0x40u);
        EXPECT_EQ(LoadU32(page + 0x20), 72u);
        EXPECT_EQ(LoadU32(page + 0x24), 72u);
        EXPECT_EQ(LoadU32(page + 0x28), 0u);
        EXPECT_EQ(LoadU32(page + 0x2C), 1024u);
        EXPECT_EQ(LoadU64(page + 0x38), n == 10 ? 0 : n + 1);
        EXPECT_EQ(LoadU64(page + 0x40), n - 1);
    }
}

TEST(PoolFormatTest, RefusesNewerVersionsAndNonPools) {
    testsupport::TempDir dir;
    std::string path = dir.File("db");
    { ASSERT_NE(OpenPool(path), nullptr); }
    std::vector<uint8_t> bytes = ReadFileBytes(path + "001");

    vell::StoreU32(bytes.data() + 0x08, 0x00090100);  // the current version loads
    WriteFileBytes(path + "001", bytes);
    { EXPECT_NE(OpenPool(path), nullptr); }

    bytes = ReadFileBytes(path + "001");
    vell::StoreU32(bytes.data() + 0x08, 0x00090101);
    WriteFileBytes(path + "001", bytes);
    try {
        OpenPool(path);
        FAIL() << "a newer version was accepted";
    } catch (const MDException& e) {
        EXPECT_STREQ(e.GetTypeName(), "Execption");
        EXPECT_STREQ(e.GetMessage(), "Data file version highter");
    }

    vell::StoreU32(bytes.data(), 167);
    WriteFileBytes(path + "001", bytes);
    vell::OutputCapture capture;
    EXPECT_EQ(OpenPool(path), nullptr);
    EXPECT_TRUE(capture.Contains("File format error"));
    EXPECT_TRUE(capture.Contains("Create db file failed"));
}

TEST(PoolFormatTest, CreationNeedsAMaxFileSizeAndLeavesNothingBehind) {
    testsupport::TempDir dir;
    std::string path = dir.File("db");
    Pager pool;
    pool.Options().data_buffer_initial = 4;  // max file size stays at the pool default 0
    vell::OutputCapture capture;
    EXPECT_FALSE(pool.Open(path));
    EXPECT_TRUE(capture.Contains("Initialize file size error -- Create new"));
    EXPECT_FALSE(std::filesystem::exists(path + "001"));

    Pager nowhere;
    testing_pool::SetDatabaseOptions(nowhere.Options());
    EXPECT_FALSE(nowhere.Open(dir.File("missing/dir/db")));
    EXPECT_TRUE(capture.Contains("Initialize io calss failed"));
}

}  // namespace
}  // namespace brindle
