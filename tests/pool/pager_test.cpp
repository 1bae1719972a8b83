// The Pager: write transactions and their savepoints, what a transaction captures, the
// journal's checkpoints and its replay at open (also of a damaged or torn journal), the files
// as a close leaves them, loading with its repairs, and the pager's thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "files/page_cipher.h"
#include "md_exception.h"
#include "pool/journal.h"
#include "pool/page_handle.h"
#include "pool/pager.h"
#include "pool/write_transaction.h"
#include "pool_test_util.h"
#include "vell/output.h"

namespace brindle {
namespace {

using testing_pool::AddPage;
using testing_pool::OpenPool;
using testing_pool::ReadFileBytes;
using testing_pool::WriteFileBytes;

constexpr uint32_t kSmallFiles = 16 * 1024;  // 15 pages a file: growth crosses files soon

// The text a page holds after its head ("" for none).
std::string TextOf(Pager& pool, uint64_t number) {
    PageHandle page(&pool, number);
    return page->Head().DataLen() == 0
               ? std::string()
               : std::string(reinterpret_cast<const char*>(page->Data() + kPageHeadSize));
}

// Replaces the text of a page in use, inside the running transaction.
void Rewrite(Pager& pool, uint64_t number, const char* text) {
    PageHandle page(&pool, number);
    page->ChangeHead().SetDataLen(0);
    page->AddString(text);
}

// Every data file of the pool, in order.
std::vector<std::vector<uint8_t>> Files(const std::string& path) {
    std::vector<std::vector<uint8_t>> files;
    for (int k = 1; std::filesystem::exists(DataFileSet::FileName(path, k)); ++k) {
        files.push_back(ReadFileBytes(DataFileSet::FileName(path, k)));
    }
    return files;
}

std::unique_ptr<Pager> OpenSmallPool(const std::string& path) {
    auto pool = OpenPool(path, kSmallFiles);
    if (pool) {
        pool->Options().add_page_count = 8;
    }
    return pool;
}

class PagerTest : public ::testing::Test {
protected:
    vell::OutputCapture quiet_;
    testsupport::TempDir dir_;
    std::string path_ = dir_.File("db");
};

TEST_F(PagerTest, PagesOutsideThePoolAreRefusedAndPagesReachTheFilesEnciphered) {
    auto pool = OpenPool(path_);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->GetPage(0), nullptr);
    EXPECT_EQ(pool->GetPage(pool->PageCount() + 1), nullptr);

    const uint64_t number = AddPage(*pool, "hello pages");
    ASSERT_TRUE(pool->Checkpoint());
    std::vector<uint8_t> disk = ReadFileBytes(path_ + "001");
    const uint8_t* stored = disk.data() + number * 1024;
    EXPECT_EQ(vell::LoadU32(stored + 0x28), 12u);  // head in plain: DataLen
    EXPECT_NE(std::memcmp(stored + 72, "hello pages", 11), 0);
    std::vector<uint8_t> area(stored + 72, stored + 1024);
    PageCipher::Encipher(area.data(), area.size());
    EXPECT_EQ(std::memcmp(area.data(), "hello pages", 12), 0);
    EXPECT_EQ(TextOf(*pool, number), "hello pages");  // plain in memory
}

TEST_F(PagerTest, AChangeOutsideATransactionThrowsAndAReadIsNotCaptured) {
    auto pool = OpenPool(path_);
    ASSERT_NE(pool, nullptr);
    const uint64_t number = AddPage(*pool, "text");
    {
        PageHandle page(pool.get(), number);
        EXPECT_THROW(page->ChangeHead().SetNext(5), MDException);
        EXPECT_THROW(page->AddString("more"), MDException);
    }
    EXPECT_EQ(TextOf(*pool, number), "text");
    WriteTransaction transaction(pool.get());
    for (uint64_t n = 1; n <= pool->PageCount(); ++n) {
        PageHandle page(pool.get(), n);
    }
    EXPECT_EQ(TextOf(*pool, number), "text");
    EXPECT_EQ(pool->TransactionPageCount(), 0u);
    Rewrite(*pool, number, "changed");
    EXPECT_EQ(pool->TransactionPageCount(), 1u);
    transaction.Commit();
}

// A nested guard is a savepoint: when it ends without Commit, only what it changed goes back
// (pages changed before it as they were at the savepoint, pages it grew, the main head and
// the file heads), and the outer transaction goes on and commits.
TEST_F(PagerTest, AFailedSavepointRollsBackOnlyItsOwnChanges) {
    auto pool = OpenSmallPool(path_);
    ASSERT_NE(pool, nullptr);
    const uint64_t a = AddPage(*pool, "a0");
    const uint64_t b = AddPage(*pool, "b0");
    const uint64_t c = AddPage(*pool, "c0");
    {
        WriteTransaction outer(pool.get());
        Rewrite(*pool, a, "a1");
        const PoolHead head = pool->MainHead();
        const uint64_t tail = pool->FreeTail();
        {
            WriteTransaction kept(pool.get());
            Rewrite(*pool, c, "c1");
            kept.Commit();
        }
        {
            WriteTransaction failed(pool.get());
            Rewrite(*pool, a, "a2");
            Rewrite(*pool, b, "b2");
            pool->SetTreeAnchor(7, 99);
            EXPECT_GT(pool->AddNewPages(40), 0u);  // into new files 2 to 4
            EXPECT_GT(pool->FileCount(), head.file_count);
            {
                WriteTransaction inner(pool.get());  // committed into the failed one
                Rewrite(*pool, b, "b3");
                inner.Commit();
            }
        }
        EXPECT_EQ(TextOf(*pool, a), "a1");
        EXPECT_EQ(TextOf(*pool, b), "b0");
        EXPECT_EQ(TextOf(*pool, c), "c1");
        EXPECT_EQ(pool->PageCount(), head.page_count);
        EXPECT_EQ(pool->FileCount(), head.file_count);
        EXPECT_FALSE(std::filesystem::exists(DataFileSet::FileName(path_, 2)));
        EXPECT_EQ(pool->TreeFlags(), head.tree_flags);
        EXPECT_EQ(pool->FirstQueuePage(), head.first_queue_page);
        EXPECT_EQ(pool->FreeTail(), tail);
        EXPECT_EQ(pool->TransactionPageCount(), 2u);  // a and c
        Rewrite(*pool, b, "b4");
        outer.Commit();
    }
    pool.reset();
    pool = OpenSmallPool(path_);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(TextOf(*pool, a), "a1");
    EXPECT_EQ(TextOf(*pool, b), "b4");
    EXPECT_EQ(TextOf(*pool, c), "c1");
    EXPECT_EQ(pool->FileCount(), 1u);
}

TEST_F(PagerTest, ARollbackAfterGrowthAcrossFilesLeavesMemoryAndFilesAsTheyWere) {
    auto pool = OpenSmallPool(path_);
    ASSERT_NE(pool, nullptr);
    const uint64_t first = AddPage(*pool, "before");
    ASSERT_TRUE(pool->Checkpoint());
    const PoolHead head = pool->MainHead();
    const uint64_t tail = pool->FreeTail();
    const auto files = Files(path_);
    {
        WriteTransaction transaction(pool.get());
        for (int i = 0; i < 40; ++i) {
            AddPage(*pool, "grown");  // a savepoint each, committed into the transaction
        }
        EXPECT_GT(pool->FileCount(), head.file_count);
        Rewrite(*pool, first, "after");
    }  // no commit
    EXPECT_EQ(pool->MainHead().EncodeArea(), head.EncodeArea());
    EXPECT_EQ(pool->FreeTail(), tail);
    EXPECT_EQ(pool->TransactionPageCount(), 0u);
    EXPECT_EQ(Files(path_), files);
    EXPECT_EQ(TextOf(*pool, first), "before");
    for (int i = 0; i < 40; ++i) {  // the pool goes on as if nothing had been
        AddPage(*pool, "again");
    }
    EXPECT_GT(pool->FileCount(), head.file_count);
}

TEST_F(PagerTest, ACheckpointWritesThePagesAndEmptiesTheJournal) {
    auto pool = OpenPool(path_);
    ASSERT_NE(pool, nullptr);
    pool->Options().checkpoint_bytes = 1ull << 40;
    ASSERT_TRUE(pool->Checkpoint());
    const auto before = Files(path_);
    const uint64_t number = AddPage(*pool, "journaled");
    EXPECT_GT(pool->JournalSize(), 0u);
    EXPECT_GT(pool->UnwrittenPageCount(), 0u);
    EXPECT_EQ(Files(path_), before);  // only the journal has it
    ASSERT_TRUE(pool->Checkpoint());
    EXPECT_EQ(pool->JournalSize(), 0u);
    EXPECT_EQ(pool->UnwrittenPageCount(), 0u);
    EXPECT_EQ(std::filesystem::file_size(Journal::PathFor(path_)), 0u);
    std::vector<uint8_t> disk = ReadFileBytes(path_ + "001");
    EXPECT_EQ(vell::LoadU32(disk.data() + number * 1024 + 0x28), 10u);
}

TEST_F(PagerTest, AfterACleanCloseTheFilesDoNotDependOnWhenCheckpointsRan) {
    auto run = [](const std::string& path, uint64_t checkpoint_bytes) {
        auto pool = OpenSmallPool(path);
        ASSERT_NE(pool, nullptr);
        pool->Options().checkpoint_bytes = checkpoint_bytes;
        for (int round = 0; round < 5; ++round) {
            WriteTransaction transaction(pool.get());
            std::vector<uint64_t> pages;
            for (int i = 0; i < 9; ++i) {
                pages.push_back(AddPage(*pool, std::to_string(round * 9 + i).c_str()));
            }
            PageHandle freed(pool.get(), pages[round]);
            freed.SetFree(true);
            freed.Release();
            transaction.Commit();
        }
    };
    run(dir_.File("every"), 0);          // pages in place after every commit
    run(dir_.File("once"), 1ull << 40);  // pages in place only at close
    EXPECT_FALSE(std::filesystem::exists(Journal::PathFor(dir_.File("once"))));
    std::vector<std::vector<uint8_t>> every = Files(dir_.File("every"));
    std::vector<std::vector<uint8_t>> once = Files(dir_.File("once"));
    ASSERT_EQ(every.size(), once.size());
    ASSERT_GT(every.size(), 1u);
    for (size_t k = 0; k < every.size(); ++k) {
        // File heads name their pool's base name; everything else must match.
        std::fill(every[k].begin() + 0x3C, every[k].begin() + 0xA0, 0);
        std::fill(once[k].begin() + 0x3C, once[k].begin() + 0xA0, 0);
        EXPECT_TRUE(every[k] == once[k]) << "file " << k + 1;
    }
}

// The files of a pool as a process that never closed it leaves them: three commits, each
// rewriting one page, only in the journal. Returns the pages.
std::vector<uint64_t> LeaveJournal(const std::string& path, const std::string& copy) {
    std::vector<uint64_t> pages;
    auto pool = OpenPool(path);
    if (!pool) {
        return pages;
    }
    for (const char* text : {"a0", "b0", "c0"}) {
        pages.push_back(AddPage(*pool, text));
    }
    EXPECT_TRUE(pool->Checkpoint());
    pool->Options().checkpoint_bytes = 1ull << 40;
    const char* texts[] = {"a1", "b1", "c1"};
    for (int i = 0; i < 3; ++i) {
        WriteTransaction transaction(pool.get());
        Rewrite(*pool, pages[i], texts[i]);
        transaction.Commit();
    }
    for (const std::string& name : {path + "001", Journal::PathFor(path)}) {
        std::filesystem::copy_file(name, copy + name.substr(path.size()));
    }
    return pages;
}

// Puts the copied files in place of the pool's.
void PutBack(const std::string& path, const std::string& copy) {
    for (const char* suffix : {"001", ".journal"}) {
        std::filesystem::copy_file(copy + suffix, path + suffix,
                                   std::filesystem::copy_options::overwrite_existing);
    }
}

// The journal's records: where each starts and how long it is.
std::vector<std::pair<size_t, size_t>> Records(const std::vector<uint8_t>& journal) {
    std::vector<std::pair<size_t, size_t>> records;
    for (size_t at = 0; at + 48 <= journal.size();) {
        const size_t length = 48 + vell::LoadU32(journal.data() + at + 20) + 8;
        records.emplace_back(at, length);
        at += length;
    }
    return records;
}

TEST_F(PagerTest, OpeningReplaysAJournalLeftBehind) {
    const std::string copy = dir_.File("copy");
    const std::vector<uint64_t> pages = LeaveJournal(path_, copy);
    ASSERT_EQ(pages.size(), 3u);
    PutBack(path_, copy);
    vell::OutputCapture capture;
    auto pool = OpenPool(path_);
    ASSERT_NE(pool, nullptr);
    EXPECT_TRUE(capture.Contains("Journal replayed"));
    EXPECT_FALSE(capture.Contains("Journal damaged"));
    EXPECT_FALSE(pool->JournalWasDamaged());
    EXPECT_EQ(TextOf(*pool, pages[0]), "a1");
    EXPECT_EQ(TextOf(*pool, pages[1]), "b1");
    EXPECT_EQ(TextOf(*pool, pages[2]), "c1");
}

// A flipped byte in a record that a valid record follows is damage: the replay stops before
// it, says so in a line, and keeps the journal beside the data files. A torn last record is
// what a crash leaves: dropped without a word.
TEST_F(PagerTest, ADamagedJournalIsReportedAndKeptAndATornOneIsNot) {
    const std::string copy = dir_.File("copy");
    const std::vector<uint64_t> pages = LeaveJournal(path_, copy);
    ASSERT_EQ(pages.size(), 3u);
    const std::vector<uint8_t> journal = ReadFileBytes(copy + ".journal");
    const auto records = Records(journal);
    ASSERT_GE(records.size(), 3u);
    const auto [middle, middle_length] = records[records.size() - 2];  // rewrites b

    std::vector<uint8_t> flipped = journal;
    flipped[middle + middle_length / 2] ^= 0x10;
    WriteFileBytes(copy + ".journal", flipped);
    PutBack(path_, copy);
    {
        vell::OutputCapture capture;
        auto pool = OpenPool(path_);
        ASSERT_NE(pool, nullptr);
        EXPECT_TRUE(capture.Contains("Journal damaged: journal record"));
        EXPECT_TRUE(pool->JournalWasDamaged());
        EXPECT_NE(pool->JournalDamage().find("1 later records were not replayed"),
                  std::string::npos)
            << pool->JournalDamage();
        EXPECT_EQ(ReadFileBytes(Journal::DamagedPathFor(path_)), flipped);
        EXPECT_EQ(TextOf(*pool, pages[0]), "a1");
        EXPECT_EQ(TextOf(*pool, pages[1]), "b0");
        EXPECT_EQ(TextOf(*pool, pages[2]), "c0");
    }
    std::filesystem::remove(Journal::DamagedPathFor(path_));

    const auto [last, last_length] = records.back();
    WriteFileBytes(copy + ".journal",
                   std::vector<uint8_t>(journal.begin(), journal.begin() + last + last_length - 3));
    PutBack(path_, copy);
    vell::OutputCapture capture;
    auto pool = OpenPool(path_);
    ASSERT_NE(pool, nullptr);
    EXPECT_FALSE(capture.Contains("Journal damaged"));
    EXPECT_FALSE(pool->JournalWasDamaged());
    EXPECT_FALSE(std::filesystem::exists(Journal::DamagedPathFor(path_)));
    EXPECT_EQ(TextOf(*pool, pages[1]), "b1");
    EXPECT_EQ(TextOf(*pool, pages[2]), "c0");
}

TEST_F(PagerTest, GrowthPastAFileWritesTheNewFileWithItsOwnHead) {
    auto pool = OpenSmallPool(path_);
    ASSERT_NE(pool, nullptr);
    std::vector<uint64_t> taken;
    for (int i = 0; i < 30; ++i) {
        taken.push_back(AddPage(*pool, "x"));
    }
    EXPECT_EQ(pool->FileCount(), 3u);
    ASSERT_TRUE(pool->Checkpoint());
    EXPECT_EQ(std::filesystem::file_size(path_ + "001"), 16u * 1024);
    std::vector<uint8_t> second = ReadFileBytes(path_ + "002");
    EXPECT_EQ(second.size(), 16u * 1024);
    EXPECT_EQ(vell::LoadU32(second.data() + 0x04), 2u);   // FileNo
    EXPECT_EQ(vell::LoadU64(second.data() + 0x20), 15u);  // pages stored in file 2
    EXPECT_EQ(vell::LoadU64(second.data() + 1024), 16u);  // page 16 follows its head area
    pool.reset();
    pool = OpenSmallPool(path_);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->FileCount(), 3u);
    for (uint64_t number : taken) {
        EXPECT_EQ(TextOf(*pool, number), "x") << number;
    }
}

TEST_F(PagerTest, ATakenPageNeverFilledGoesBackToTheList) {
    auto pool = OpenPool(path_);
    ASSERT_NE(pool, nullptr);
    const uint64_t tail = pool->FreeTail();
    {
        WriteTransaction transaction(pool.get());
        { PageHandle untouched(pool.get(), 0, true); }
        EXPECT_EQ(pool->FreeTail(), tail);
        transaction.Commit();
    }
    EXPECT_EQ(pool->FreeTail(), tail);
}

TEST_F(PagerTest, OpeningRepairsAShortPageCountAndABrokenFreeList) {
    { ASSERT_NE(OpenPool(path_), nullptr); }
    std::vector<uint8_t> bytes = ReadFileBytes(path_ + "001");
    vell::StoreU64(bytes.data() + 0x20, 8);     // the files hold 10 pages
    uint8_t* second = bytes.data() + 2 * 1024;  // a free page that claims to be in use
    vell::StoreU32(second + 0x1C, vell::LoadU32(second + 0x1C) & ~1u);
    WriteFileBytes(path_ + "001", bytes);

    vell::OutputCapture capture;
    auto pool = OpenPool(path_);
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

TEST_F(PagerTest, PageSizeMismatchAndLeftoverTemporaryPools) {
    std::string big = dir_.File("big");
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
    {
        auto pool = OpenPool(path_);
        ASSERT_NE(pool, nullptr);
        AddPage(*pool, "x");
    }
    std::vector<uint8_t> bytes = ReadFileBytes(path_ + "001");
    vell::StoreU32(bytes.data() + 0x0C, vell::LoadU32(bytes.data() + 0x0C) | 0x80);
    WriteFileBytes(path_ + "001", bytes);
    vell::OutputCapture capture;
    auto pool = OpenPool(path_);
    ASSERT_NE(pool, nullptr);
    EXPECT_TRUE(capture.Contains("PagePool file is temp data will delete"));
    EXPECT_EQ(pool->FreeTail(), 10u);  // a new, empty pool
}

TEST_F(PagerTest, DamagedFilesNeverCrashTheProcess) {
    {
        auto pool = OpenPool(path_);
        ASSERT_NE(pool, nullptr);
        for (int i = 0; i < 5; ++i) {
            AddPage(*pool, "payload");
        }
    }
    const std::vector<uint8_t> good = ReadFileBytes(path_ + "001");
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
        WriteFileBytes(path_ + "001", bytes);
        try {
            auto pool = OpenPool(path_);
            if (pool != nullptr) {
                for (uint64_t n = 1; n <= std::min<uint64_t>(pool->PageCount(), 20); ++n) {
                    pool->ReleasePage(pool->GetPage(n));
                }
                AddPage(*pool, "still works");
            }
        } catch (const MDException&) {  // pages cut off with the file: an error, no crash
        }
    }
    // Page heads that lie about their number and data offset.
    std::vector<uint8_t> bad = good;
    vell::StoreU64(bad.data() + 10 * 1024, 77);
    vell::StoreU32(bad.data() + 9 * 1024 + 0x24, 5000);
    WriteFileBytes(path_ + "001", bad);
    vell::OutputCapture capture;
    auto pool = OpenPool(path_);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->GetPage(10), nullptr);
    EXPECT_TRUE(capture.Contains("Read data format error"));
    EXPECT_EQ(pool->GetPage(9), nullptr);
    EXPECT_TRUE(capture.Contains("Decrypt error"));
}

TEST_F(PagerTest, ThePagersThreadDropsIdlePagesOnlyWhenTheCacheIsFull) {
    auto pool = std::make_unique<Pager>();
    PoolOptions& o = pool->Options();
    testing_pool::SetDatabaseOptions(o);
    testing_pool::CheckEvery(o, 10);
    o.max_cached_pages = 4;
    ASSERT_TRUE(pool->Open(path_));
    // The load walk cached the ten free pages: the cache is over its limit.
    for (int i = 0; i < 300 && pool->CachedPageCount() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(pool->CachedPageCount(), 0u);
    // Below the limit nothing is dropped, however old.
    pool->ReleasePage(pool->GetPage(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(pool->CachedPageCount(), 1u);
}

}  // namespace
}  // namespace brindle
