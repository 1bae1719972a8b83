// The journal's format as its reader sees it: whole records count, a torn tail is dropped,
// a damaged record that valid ones follow is told apart, and appending after a torn record
// starts where it started.
#include <gtest/gtest.h>

#include "pool/journal.h"
#include "pool_test_util.h"

namespace brindle {
namespace {

using testing_pool::ReadFileBytes;

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
