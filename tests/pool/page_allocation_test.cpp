#include <gtest/gtest.h>

#include <filesystem>

#include "pool/page_handle.h"
#include "pool/pager.h"
#include "pool/write_transaction.h"
#include "pool_test_util.h"
#include "vell/output.h"

namespace brindle {
namespace {

using testing_pool::OpenPool;
using testing_pool::ReadFileBytes;

// Pins a new page and fills one byte so that it stays in use after release.
uint64_t UseNewPage(Pager& pool) {
    WriteTransaction transaction(&pool);
    PageHandle handle(&pool, 0, true);
    uint8_t byte = 1;
    handle->AddData(&byte, 1);
    const uint64_t number = handle->Number();
    handle.Release();
    transaction.Commit();
    return number;
}

TEST(PageAllocationTest, HandsOutFromTheTailAndGrowsByABatch) {
    testsupport::TempDir dir;
    auto pool = OpenPool(dir.File("db"));
    ASSERT_NE(pool, nullptr);
    for (uint64_t expected = 10; expected >= 1; --expected) {
        EXPECT_EQ(UseNewPage(*pool), expected);
    }
    EXPECT_EQ(pool->FreeHead(), 0u);
    EXPECT_EQ(UseNewPage(*pool), 1034u);  // pages 11 to 1034 were added
    EXPECT_EQ(pool->PageCount(), 1034u);
    EXPECT_EQ(pool->FreeHead(), 11u);
    EXPECT_EQ(pool->FreeTail(), 1033u);
}

TEST(PageAllocationTest, UnfilledPagesReturnByThemselves) {
    testsupport::TempDir dir;
    auto pool = OpenPool(dir.File("db"));
    ASSERT_NE(pool, nullptr);
    uint64_t tail = pool->FreeTail();
    {
        WriteTransaction transaction(pool.get());
        { PageHandle untouched(pool.get(), 0, true); }  // taken, never filled
        EXPECT_EQ(pool->FreeTail(), tail);
        transaction.Commit();
    }
    { PageHandle lone(pool.get(), tail); }  // pinning a free page changes nothing
    EXPECT_EQ(pool->FreeTail(), tail);
}

TEST(PageAllocationTest, GrowthFillsTheLastFileThenAddsOneWithItsOwnHead) {
    testsupport::TempDir dir;
    std::string path = dir.File("db");
    // 16 pages of 1024 bytes per file: file 1 holds pages 1 to 15 after its head area.
    auto pool = OpenPool(path, 16 * 1024);
    ASSERT_NE(pool, nullptr);
    pool->Options().add_page_count = 8;
    std::vector<uint64_t> taken;
    for (int i = 0; i < 30; ++i) {
        taken.push_back(UseNewPage(*pool));
    }
    EXPECT_EQ(pool->FileCount(), 3u);
    ASSERT_TRUE(pool->Checkpoint());
    EXPECT_EQ(std::filesystem::file_size(path + "001"), 16u * 1024);
    EXPECT_EQ(std::filesystem::file_size(path + "002"), 16u * 1024);
    std::vector<uint8_t> second = ReadFileBytes(path + "002");
    EXPECT_EQ(vell::LoadU32(second.data() + 0x04), 2u);   // FileNo
    EXPECT_EQ(vell::LoadU64(second.data() + 0x20), 15u);  // pages stored in file 2
    // Page 16 is the first page of file 2, right after its head area.
    EXPECT_EQ(vell::LoadU64(second.data() + 1024), 16u);
    EXPECT_EQ(vell::LoadU32(second.data() + 1024 + 0x0C), 1024u);

    for (uint64_t number : taken) {  // every page can be read back where it was placed
        PageHandle handle(pool.get(), number);
        EXPECT_EQ(handle->Number(), number);
    }
    pool.reset();
    auto reopened = OpenPool(path, 16 * 1024);
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(reopened->FileCount(), 3u);
    PageHandle last(reopened.get(), taken.back());
    EXPECT_EQ(last->Head().DataLen(), 1u);
}

TEST(PageAllocationTest, ABadTailStartsAFreshList) {
    testsupport::TempDir dir;
    auto pool = OpenPool(dir.File("db"));
    ASSERT_NE(pool, nullptr);
    uint64_t tail = pool->FreeTail();
    {
        WriteTransaction transaction(pool.get());
        PageHandle handle(pool.get(), tail);
        handle->ChangeHead().Clear(kPageUnused);  // the tail claims to be in use
        handle.Release();
        transaction.Commit();
    }
    vell::OutputCapture capture;
    uint64_t number = UseNewPage(*pool);
    EXPECT_TRUE(capture.Contains("Get free page unused flag error"));
    EXPECT_TRUE(capture.Contains("Skip bad free page list,will InitFreePageList!!!"));
    EXPECT_EQ(number, 1034u);  // from the fresh batch 11..1034
}

}  // namespace
}  // namespace brindle
