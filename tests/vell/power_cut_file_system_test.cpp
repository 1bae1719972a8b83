// The power-cut file system's model of the disk: what a sync made durable is in every cut,
// and what came after is kept, lost or torn only in the ways a disk can.
#include "support/power_cut_file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/whole_file.h"

namespace {

using testsupport::DiskModel;
using testsupport::FileOp;
using testsupport::PowerCutFileSystem;
using testsupport::SyncClass;

constexpr int kCuts = 64;

// Every state a cut at the end of `log` is seen to leave, as the content of `name` ("-" for
// a missing file).
std::set<std::string> Outcomes(const std::vector<FileOp>& log, const testsupport::TempDir& dir,
                               const std::string& name) {
    DiskModel disk(log);
    for (size_t i = 0; i < log.size(); ++i) {
        disk.Apply(i);
    }
    std::set<std::string> seen;
    for (int cut = 0; cut < kCuts; ++cut) {
        const std::filesystem::path target = dir.path() / ("cut" + std::to_string(cut));
        std::filesystem::create_directories(target);
        std::mt19937_64 rng(static_cast<uint64_t>(cut));
        disk.Materialise(dir.path() / "db", target, rng);
        const std::filesystem::path file = target / name;
        seen.insert(std::filesystem::exists(file) ? testsupport::ReadWholeFile(file.string())
                                                  : "-");
        std::filesystem::remove_all(target);
    }
    return seen;
}

std::string Write(vell::FileSystem& fs, int fd, char fill, size_t length, off_t at) {
    std::string bytes(length, fill);
    EXPECT_EQ(fs.PWrite(fd, bytes.data(), bytes.size(), at), static_cast<ssize_t>(length));
    return bytes;
}

TEST(PowerCutFileSystemTest, SyncedBytesSurviveAndLaterOnesAreKeptLostOrTornAtSectors) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir.path() / "db");
    const std::string path = (dir.path() / "db" / "f001").string();
    std::vector<FileOp> log;
    {
        PowerCutFileSystem fs;
        int fd = fs.Open(path, O_RDWR | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        Write(fs, fd, 'a', 1024, 0);
        ASSERT_EQ(fs.Sync(fd), 0);
        ASSERT_EQ(fs.SyncDirectory((dir.path() / "db").string()), 0);
        Write(fs, fd, 'b', 1000, 100);  // over the durable bytes, across two boundaries
        fs.Close(fd);
        log = fs.TakeLog();
    }
    EXPECT_EQ(testsupport::ReadWholeFile(path), std::string(100, 'a') + std::string(1000, 'b'));
    const std::string durable(1024, 'a');
    const std::set<std::string> allowed = {
        durable,
        std::string(100, 'a') + std::string(412, 'b') + std::string(512, 'a'),  // torn at 512
        std::string(100, 'a') + std::string(924, 'b'),                          // torn at 1024
        std::string(100, 'a') + std::string(1000, 'b'),                         // whole
    };
    const std::set<std::string> seen = Outcomes(log, dir, "f001");
    for (const std::string& content : seen) {
        EXPECT_EQ(allowed.count(content), 1u)
            << "a state no disk leaves, " << content.size() << " bytes";
    }
    // Every way is taken: kept, lost, and torn at each boundary.
    EXPECT_EQ(seen.size(), allowed.size());
}

TEST(PowerCutFileSystemTest, EntriesWithoutADirectorySyncMayBeUndoneAndIgnoredSyncsDoNothing) {
    testsupport::TempDir dir;
    const std::filesystem::path folder = dir.path() / "db";
    std::filesystem::create_directories(folder);
    std::vector<FileOp> log;
    {
        PowerCutFileSystem fs;
        fs.IgnoreSyncs(SyncClass::kData);
        int fd = fs.Open((folder / "f001").string(), O_RDWR | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        Write(fs, fd, 'x', 10, 0);
        ASSERT_EQ(fs.Sync(fd), 0);  // ignored: a data file
        fs.Close(fd);
        int journal = fs.Open((folder / "f.journal").string(), O_RDWR | O_CREAT, 0644);
        ASSERT_GE(journal, 0);
        Write(fs, journal, 'j', 10, 0);
        ASSERT_EQ(fs.Sync(journal), 0);
        ASSERT_EQ(fs.SyncDirectory(folder.string()), 0);
        ASSERT_EQ(fs.Rename((folder / "f.journal").string(), (folder / "f.old").string()), 0);
        fs.Close(journal);
        log = fs.TakeLog();
    }
    EXPECT_EQ(Outcomes(log, dir, "f001"), (std::set<std::string>{"", "xxxxxxxxxx"}));
    EXPECT_EQ(Outcomes(log, dir, "f.journal"), (std::set<std::string>{"-", "jjjjjjjjjj"}));
    EXPECT_EQ(Outcomes(log, dir, "f.old"), (std::set<std::string>{"-", "jjjjjjjjjj"}));
}

}  // namespace
