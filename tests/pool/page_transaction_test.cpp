// Write transactions of the pool: rollback, the journal's torn tails, and the files after a
// clean close. Replay after a killed process is the kill loop's test.
#include <gtest/gtest.h>

#include <filesystem>

#include "pool/journal.h"
#include "pool/page_handle.h"
#include "pool/pager.h"
#include "pool/write_transaction.h"
#include "pool_test_util.h"
#include "vell/output.h"

namespace brindle {
namespace {

using testing_pool::OpenPool;
using testing_pool::ReadFileBytes;

constexpr uint32_t kSmallFiles = 16 * 1024;  // 15 pages a file: growth crosses files soon

// Takes `count` new pages and writes a recognisable byte into each; returns their numbers.
std::vector<uint64_t> FillPages(Pager& pool, int count, uint8_t mark) {
    std::vector<uint64_t> numbers;
    for (int i = 0; i < count; ++i) {
        WriteTransaction transaction(&pool);
        PageHandle handle(&pool, 0, true);
        uint8_t byte = static_cast<uint8_t>(mark + i);
        handle->AddData(&byte, 1);
        numbers.push_back(handle->Number());
        handle.Release();
        transaction.Commit();
    }
    return numbers;
}

std::unique_ptr<Pager> OpenSmallPool(const std::string& path) {
    auto pool = OpenPool(path, kSmallFiles);
    if (pool) {
        pool->Options().add_page_count = 8;
    }
    return pool;
}

// Every data file of the pool, in order.
std::vector<std::vector<uint8_t>> Files(const std::string& path) {
    std::vector<std::vector<uint8_t>> files;
    for (int k = 1; std::filesystem::exists(DataFileSet::FileName(path, k)); ++k) {
        files.push_back(ReadFileBytes(DataFileSet::FileName(path, k)));
    }
    return files;
}

TEST(PageTransactionTest, RollbackAfterGrowthAcrossFilesLeavesMemoryAndFilesAsTheyWere) {
    vell::OutputCapture quiet;
    testsupport::TempDir dir;
    const std::string path = dir.File("db");
    auto pool = OpenSmallPool(path);
    ASSERT_NE(pool, nullptr);
    FillPages(*pool, 12, 1);
    ASSERT_TRUE(pool->Checkpoint());
    const PoolHead head = pool->MainHead();
    const uint64_t tail = pool->FreeTail();
    const auto files = Files(path);
    {
        WriteTransaction transaction(pool.get());
        FillPages(*pool, 40, 100);  // grows into files 2, 3 and 4
        EXPECT_GT(pool->FileCount(), head.file_count);
        {
            PageHandle first(pool.get(), 1);
            first->ChangeHead().SetNext(4242);  // a change to a page that existed before
        }
    }  // no commit
    EXPECT_EQ(pool->PageCount(), head.page_count);
    EXPECT_EQ(pool->FileCount(), head.file_count);
    EXPECT_EQ(pool->FreeHead(), head.free_head);
    EXPECT_EQ(pool->FreeTail(), tail);
    EXPECT_EQ(pool->TransactionPageCount(), 0u);
    EXPECT_EQ(Files(path), files);
    {
        PageHandle first(pool.get(), 1);
        EXPECT_NE(first->Head().Next(), 4242u);
    }
    // The pool goes on as if the transaction had never been (the exports' fault loop checks
    // the next call after a rollback, through a reopen).
    EXPECT_EQ(FillPages(*pool, 40, 7).size(), 40u);
    EXPECT_GT(pool->FileCount(), head.file_count);
}

TEST(PageTransactionTest, AfterACleanCloseTheFilesDoNotDependOnWhenCheckpointsRan) {
    vell::OutputCapture quiet;
    testsupport::TempDir dir;
    auto run = [](const std::string& path, uint64_t checkpoint_bytes) {
        auto pool = OpenSmallPool(path);
        ASSERT_NE(pool, nullptr);
        pool->Options().checkpoint_bytes = checkpoint_bytes;
        for (int round = 0; round < 5; ++round) {
            WriteTransaction transaction(pool.get());
            std::vector<uint64_t> pages = FillPages(*pool, 9, static_cast<uint8_t>(round * 9));
            PageHandle freed(pool.get(), pages[round]);
            freed.SetFree(true);
            freed.Release();
            transaction.Commit();
        }
    };
    run(dir.File("every"), 0);          // pages in place after every commit
    run(dir.File("once"), 1ull << 40);  // pages in place only at close
    EXPECT_FALSE(std::filesystem::exists(Journal::PathFor(dir.File("once"))));
    std::vector<std::vector<uint8_t>> every = Files(dir.File("every"));
    std::vector<std::vector<uint8_t>> once = Files(dir.File("once"));
    ASSERT_EQ(every.size(), once.size());
    for (size_t k = 0; k < every.size(); ++k) {
        // File heads name their pool's base name; everything else must match.
        std::fill(every[k].begin() + 0x3C, every[k].begin() + 0xA0, 0);
        std::fill(once[k].begin() + 0x3C, once[k].begin() + 0xA0, 0);
        EXPECT_TRUE(every[k] == once[k]) << "file " << k + 1;
    }
}

TEST(JournalTest, ReadingStopsAtATornOrCorruptRecord) {
    testsupport::TempDir dir;
    const std::string path = dir.File("j");
    {
        Journal journal;
        bool created = false;
        ASSERT_TRUE(journal.Open(path, true, created));
        for (uint8_t k = 1; k <= 3; ++k) {
            JournalRecord record;
            std::vector<uint8_t> bytes(100 * k, k);
            record.Add(k, 1024u * k, bytes.data(), static_cast<uint32_t>(bytes.size()));
            ASSERT_TRUE(journal.Append(record, false));
        }
    }
    const std::vector<uint8_t> whole = ReadFileBytes(path);
    JournalScan scan;
    auto replayed = [&](const std::vector<uint8_t>& bytes) {
        testing_pool::WriteFileBytes(path, bytes);
        Journal journal;
        bool created = false;
        EXPECT_TRUE(journal.Open(path, false, created));
        uint64_t seen = 0;
        journal.Replay(
            [&](const Journal::Entry& entry) {
                EXPECT_EQ(entry.length, 100u * entry.file);
                EXPECT_EQ(entry.position, 1024u * entry.file);
                return ++seen > 0;
            },
            scan);
        EXPECT_EQ(seen, scan.records);
        return scan.records;
    };
    EXPECT_EQ(replayed(whole), 3u);
    EXPECT_FALSE(scan.damaged);
    const size_t third = whole.size() - (48 + 12 + 300 + 8);
    for (size_t cut = third; cut < whole.size(); cut += 7) {
        EXPECT_EQ(replayed(std::vector<uint8_t>(whole.begin(), whole.begin() + cut)), 2u) << cut;
        EXPECT_FALSE(scan.damaged) << "a torn tail is no damage";
    }
    // A flipped byte in a record that valid records follow is damage: replay stops before it
    // and says how much it left out.
    std::vector<uint8_t> flipped = whole;
    flipped[48 + 12 + 50] ^= 1;  // inside the first record's bytes
    EXPECT_EQ(replayed(flipped), 0u);
    EXPECT_TRUE(scan.damaged);
    EXPECT_EQ(scan.damaged_sequence, 1u);
    EXPECT_EQ(scan.dropped_records, 2u);
    // A record appended after a torn one starts where the torn one started.
    testing_pool::WriteFileBytes(path, std::vector<uint8_t>(whole.begin(), whole.end() - 5));
    {
        Journal journal;
        bool created = false;
        ASSERT_TRUE(journal.Open(path, false, created));
        EXPECT_EQ(journal.Size(), third);
        JournalRecord record;
        std::vector<uint8_t> bytes(300, 3);
        record.Add(3, 3072, bytes.data(), 300);
        ASSERT_TRUE(journal.Append(record, true));
    }
    EXPECT_EQ(replayed(ReadFileBytes(path)), 3u);
}

}  // namespace
}  // namespace brindle
