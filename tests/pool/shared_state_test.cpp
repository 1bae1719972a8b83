// The side file through which processes meet: its published state survives a publisher that
// died half way through publishing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include "pool/shared_state.h"
#include "support/temp_dir.h"

namespace brindle {
namespace {

// Sets the published state's sequence lock as a publisher killed between its two steps
// leaves it: odd.
void LeaveLockOdd(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    uint64_t lock = 0;
    ASSERT_EQ(pread(fd, &lock, sizeof lock, 16), static_cast<ssize_t>(sizeof lock));
    lock |= 1;
    ASSERT_EQ(pwrite(fd, &lock, sizeof lock, 16), static_cast<ssize_t>(sizeof lock));
    close(fd);
}

TEST(SharedStateTest, APublishAfterAPublisherDiedMidwayIsReadWhole) {
    testsupport::TempDir dir;
    const std::string base = dir.File("db");
    SharedState reader;
    ASSERT_EQ(reader.Open(base, Access::kReadOnly, Durability::kNormal), OpenFailure::kNone);
    reader.FinishOpen();
    LeaveLockOdd(SharedState::PathFor(base));

    SharedState writer;
    ASSERT_EQ(writer.Open(base, Access::kShared, Durability::kNormal), OpenFailure::kNone);
    writer.FinishOpen();
    PublishedState state;
    state.sequence = 7;
    state.journal_end = 4096;
    state.base_sequence = 3;
    writer.Publish(state);
    // Read waits while the lock is odd: with the lock left odd for good it would never return.
    const PublishedState seen = reader.Read();
    EXPECT_EQ(seen.sequence, 7u);
    EXPECT_EQ(seen.journal_end, 4096u);
    EXPECT_EQ(seen.base_sequence, 3u);
    writer.Close();
    reader.Close();
}

}  // namespace
}  // namespace brindle
