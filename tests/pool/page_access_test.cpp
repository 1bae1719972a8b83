#include <gtest/gtest.h>

#include <cstring>

#include "files/page_cipher.h"
#include "pool/page_handle.h"
#include "pool/pager.h"
#include "pool/write_transaction.h"
#include "pool_test_util.h"
#include "vell/output.h"

namespace brindle {
namespace {

using testing_pool::OpenPool;
using testing_pool::ReadFileBytes;

// Takes a fresh page, writes text into it and releases it; returns its number.
uint64_t FillNewPage(Pager& pool, const char* text) {
    WriteTransaction transaction(&pool);
    PageHandle handle(&pool, 0, true);
    EXPECT_EQ(handle->AddString(text), std::strlen(text) + 1);
    const uint64_t number = handle->Number();
    handle.Release();
    transaction.Commit();
    return number;
}

TEST(PageAccessTest, PinsCachesAndRefusesNumbersOutsideThePool) {
    testsupport::TempDir dir;
    auto pool = OpenPool(dir.File("db"));
    ASSERT_NE(pool, nullptr);
    vell::OutputCapture capture;
    EXPECT_EQ(pool->GetPage(0), nullptr);
    EXPECT_EQ(pool->GetPage(pool->PageCount() + 1), nullptr);
    EXPECT_EQ(capture.Text(), "");

    const uint64_t cached_before = pool->CachedPageCount();
    Page* first = pool->GetPage(3);
    ASSERT_NE(first, nullptr);
    Page* second = pool->GetPage(3);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->RefCount(), 2);
    EXPECT_EQ(pool->UsedPageCount(), 1u);
    pool->ReleasePage(first);
    pool->ReleasePage(second);
    EXPECT_EQ(pool->UsedPageCount(), 0u);
    EXPECT_EQ(pool->CachedPageCount(), cached_before == 0 ? 1u : cached_before);
    pool->ReleasePage(second);  // one release too many
    EXPECT_TRUE(capture.Contains("Page ref error"));
    Page* again = pool->GetPage(3);  // still usable, from the cache
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->RefCount(), 1);
    pool->ReleasePage(again);
}

// A page released with the cache full leaves memory; cached pages stay readable without pins.
TEST(PageAccessTest, TheCacheKeepsNoMoreThanItsLimit) {
    testsupport::TempDir dir;
    auto pool = std::make_unique<Pager>();
    testing_pool::SetDatabaseOptions(pool->Options());
    pool->Options().max_cached_pages = 4;
    pool->Options().check_first_delay_ms = 60000;  // no idle drops during the test
    vell::OutputCapture quiet;
    ASSERT_TRUE(pool->Open(dir.File("db")));
    const uint64_t last = pool->PageCount();
    ASSERT_GE(last, 8u);
    for (uint64_t number = 1; number <= last; ++number) {
        PageHandle handle(pool.get(), number);
    }
    EXPECT_EQ(pool->CachedPageCount(), 4u);
    int resident = 0;
    for (uint64_t number = 1; number <= pool->PageCount(); ++number) {
        resident += pool->ReadResident(number, [](Page*) {}) ? 1 : 0;
    }
    EXPECT_EQ(resident, 4);
    uint64_t read_number = 0;
    EXPECT_FALSE(pool->ReadResident(last, [&](Page* page) { read_number = page->Number(); }));
    Page* pinned = pool->GetPage(last);  // loaded again, and resident while pinned
    EXPECT_TRUE(pool->ReadResident(last, [&](Page* page) { read_number = page->Number(); }));
    EXPECT_EQ(read_number, last);
    pool->ReleasePage(pinned);
    EXPECT_EQ(pool->CachedPageCount(), 4u);
}

TEST(PageAccessTest, WritesThroughEncipheredAndKeepsTheCachedCopyPlain) {
    testsupport::TempDir dir;
    std::string path = dir.File("db");
    auto pool = OpenPool(path);
    ASSERT_NE(pool, nullptr);
    uint64_t number = FillNewPage(*pool, "hello pages");
    ASSERT_TRUE(pool->Checkpoint());
    std::vector<uint8_t> disk = ReadFileBytes(path + "001");
    const uint8_t* stored = disk.data() + number * 1024;
    EXPECT_EQ(vell::LoadU32(stored + 0x28), 12u);  // head in plain: DataLen
    EXPECT_NE(std::memcmp(stored + 72, "hello pages", 11), 0);
    std::vector<uint8_t> area(stored + 72, stored + 1024);
    PageCipher::Encipher(area.data(), area.size());
    EXPECT_EQ(std::memcmp(area.data(), "hello pages", 12), 0);

    PageHandle cached(pool.get(), number);
    EXPECT_EQ(std::memcmp(cached->Data() + 72, "hello pages", 12), 0);
}

TEST(PageAccessTest, DiscardedPagesAreDroppedUnwritten) {
    testsupport::TempDir dir;
    auto pool = OpenPool(dir.File("db"));
    ASSERT_NE(pool, nullptr);
    uint64_t number = FillNewPage(*pool, "kept");
    ASSERT_TRUE(pool->Checkpoint());  // written: only the cache holds it now
    vell::OutputCapture capture;
    {
        WriteTransaction transaction(pool.get());
        PageHandle handle(pool.get(), number);
        std::memcpy(handle->ChangeData() + 72, "lost", 4);
        handle->SetDiscard();
        handle.Release();  // and the transaction rolls back
    }
    EXPECT_TRUE(capture.Contains("--ReLoad FreeRawPage--ref:0"));
    PageHandle handle(pool.get(), number);
    EXPECT_EQ(std::memcmp(handle->Data() + 72, "kept", 4), 0);
}

}  // namespace
}  // namespace brindle
