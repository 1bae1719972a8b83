#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "md_exception.h"
#include "pool/page_handle.h"
#include "pool/pager.h"
#include "pool_test_util.h"
#include "vell/output.h"

namespace brindle {
namespace {

using testing_pool::OpenPool;
using testing_pool::ReadFileBytes;
using testing_pool::WriteFileBytes;

TEST(PoolLoadTest, RepairsAShortPageCountAndABrokenFreeList) {
    testsupport::TempDir dir;
    std::string path = dir.File("db");
    { ASSERT_NE(OpenPool(path), nullptr); }
    std::vector<uint8_t> bytes = ReadFileBytes(path + "001");
    vell::StoreU64(bytes.data() + 0x20, 8);  // the files hold 10 pages
    // The second free page claims to be in use.
    uint8_t* second = bytes.data() + 2 * 1024;
    vell::StoreU32(second + 0x1C, vell::LoadU32(second + 0x1C) & ~1u);
    WriteFileBytes(path + "001", bytes);

    vell::OutputCapture capture;
    auto pool = OpenPool(path);
    ASSERT_NE(pool, nullptr);
    EXPECT_TRUE(capture.Contains(
        "Check pool head PageCount less file size,PageCount:8,PageSize:1024,file total "
        "size:10240"));
    EXPECT_TRUE(capture.Contains("Repair pool head--PageCount ok"));
    EXPECT_TRUE(capture.Contains("Get free page unused flag error -- on load"));
    EXPECT_TRUE(capture.Contains("Repair free page list ok"));
    EXPECT_EQ(pool->FreeHead(), 11u);  // a fresh list of 1024 new pages
    EXPECT_EQ(pool->FreeTail(), 1034u);
    EXPECT_EQ(pool->PageCount(), 1034u);
}

TEST(PoolLoadTest, ACyclicFreeListIsReplacedInsteadOfWalkedForever) {
    testsupport::TempDir dir;
    std::string path = dir.File("db");
    { ASSERT_NE(OpenPool(path), nullptr); }
    std::vector<uint8_t> bytes = ReadFileBytes(path + "001");
    vell::StoreU64(bytes.data() + 3 * 1024 + 0x38, 1);  // page 3 leads back to page 1
    WriteFileBytes(path + "001", bytes);
    vell::OutputCapture capture;
    auto pool = OpenPool(path);
    ASSERT_NE(pool, nullptr);
    EXPECT_TRUE(capture.Contains("Repair free page list ok"));
}

TEST(PoolLoadTest, PageSizeMismatchAndLeftoverTemporaryPools) {
    testsupport::TempDir dir;
    std::string big = dir.File("big");
    {
        Pager pool;
        testing_pool::SetDatabaseOptions(pool.Options());
        pool.Options().page_size = 2048;
        ASSERT_TRUE(pool.Open(big));
    }
    {
        vell::OutputCapture capture;
        EXPECT_EQ(OpenPool(big), nullptr);
        EXPECT_TRUE(capture.Contains("Option page size too small"));
        EXPECT_FALSE(capture.Contains("Create db file failed"));
    }

    // A pool left with TempData in its head is thrown away at load and made anew.
    std::string temp = dir.File("temp");
    {
        auto pool = OpenPool(temp);
        ASSERT_NE(pool, nullptr);
        testing_pool::AddPage(*pool, "x");
    }
    std::vector<uint8_t> bytes = ReadFileBytes(temp + "001");
    vell::StoreU32(bytes.data() + 0x0C, vell::LoadU32(bytes.data() + 0x0C) | 0x80);
    WriteFileBytes(temp + "001", bytes);
    vell::OutputCapture capture;
    auto pool = OpenPool(temp);
    ASSERT_NE(pool, nullptr);
    EXPECT_TRUE(capture.Contains("PagePool file is temp data will delete"));
    EXPECT_EQ(pool->FreeTail(), 10u);  // a new, empty pool
}

TEST(PoolLoadTest, DamagedFilesNeverCrashTheProcess) {
    testsupport::TempDir dir;
    std::string path = dir.File("db");
    {
        auto pool = OpenPool(path);
        ASSERT_NE(pool, nullptr);
        for (int i = 0; i < 5; ++i) {
            testing_pool::AddPage(*pool, "payload");
        }
    }
    const std::vector<uint8_t> good = ReadFileBytes(path + "001");
    vell::OutputCapture quiet;
    // Truncations at every interesting length, and heads with impossible sizes: each pool
    // either refuses to load or serves its pages and takes new ones.
    std::vector<std::vector<uint8_t>> damaged;
    for (size_t length : {size_t{0}, size_t{100}, size_t{1024}, size_t{3000}, good.size() - 1}) {
        damaged.emplace_back(good.begin(), good.begin() + length);
    }
    for (size_t offset : {0x10, 0x18, 0x20, 0x28, 0x2C, 0x30}) {
        damaged.push_back(good);
        vell::StoreU32(damaged.back().data() + offset, 0xFFFFFFFFu);
    }
    for (const std::vector<uint8_t>& bytes : damaged) {
        WriteFileBytes(path + "001", bytes);
        auto pool = OpenPool(path);
        if (pool != nullptr) {
            for (uint64_t n = 1; n <= std::min<uint64_t>(pool->PageCount(), 20); ++n) {
                pool->ReleasePage(pool->GetPage(n));
            }
            try {
                testing_pool::AddPage(*pool, "still works");
            } catch (const MDException&) {  // pages cut off with the file: an error, no crash
            }
        }
    }
    // Page heads that lie about their number and data offset.
    std::vector<uint8_t> bad = good;
    vell::StoreU64(bad.data() + 10 * 1024, 77);
    vell::StoreU32(bad.data() + 9 * 1024 + 0x24, 5000);
    WriteFileBytes(path + "001", bad);
    vell::OutputCapture capture;
    auto pool = OpenPool(path);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->GetPage(10), nullptr);
    EXPECT_TRUE(capture.Contains("Read data format error"));
    EXPECT_EQ(pool->GetPage(9), nullptr);
    EXPECT_TRUE(capture.Contains("Decrypt error"));
}

TEST(CheckPagesThreadTest, DropsIdlePagesOnlyWhenTheCacheIsFull) {
    testsupport::TempDir dir;
    std::string path = dir.File("db");
    auto pool = std::make_unique<Pager>();
    PoolOptions& o = pool->Options();
    testing_pool::SetDatabaseOptions(o);
    testing_pool::CheckEvery(o, 10);
    o.max_cached_pages = 4;
    ASSERT_TRUE(pool->Open(path));
    // The load walk cached the ten free pages: the cache is over its limit.
    for (int i = 0; i < 300 && pool->CachedPageCount() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(pool->CachedPageCount(), 0u);

    // Below the limit nothing is dropped, however old.
    Page* page = pool->GetPage(1);
    pool->ReleasePage(page);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(pool->CachedPageCount(), 1u);
}

}  // namespace
}  // namespace brindle
