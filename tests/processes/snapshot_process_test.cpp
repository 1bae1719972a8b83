// A process that only reads sees whole committed states of another process's writes, in
// order, and never changes the files it opens.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "brindle_batch.h"
#include "process_test_util.h"
#include "support/whole_file.h"

namespace brindle::sharing {
namespace {

using testsupport::LinesStartingWith;

int Steps() {
    return EnvCount("BRINDLE_PROCESS_STEPS", 1500);
}

TEST(ProcessSnapshotTest, AReaderSeesEveryWriterStepWholeAndInOrder) {
    // The second run checkpoints every few commits, so that the reader often finds what it
    // has not read yet already written to the data files.
    const std::pair<const char*, const char*> runs[] = {{"0", "4194304"}, {"shared", "16384"}};
    for (const auto& [writer_options, checkpoint_bytes] : runs) {
        SCOPED_TRACE(std::string("writer options ") + writer_options);
        ScopedEnvironment checkpoints("BRINDLE_CHECKPOINT_BYTES", checkpoint_bytes);
        SharedDatabase db;
        const std::string seed = "7";
        const std::string steps = std::to_string(Steps());
        auto reader = db.Start("snap-read", {seed, steps, "ro"});
        ASSERT_TRUE(reader->WaitForLine("open")) << reader->Output();
        auto writer = db.Start("snap-write", {seed, steps, writer_options});
        const bool writer_ended_well = writer->Succeeded();
        EXPECT_TRUE(EndedWell(*writer));
        FinishReader(*reader, writer_ended_well);
        ASSERT_TRUE(EndedWell(*reader));
        const auto summary = LinesStartingWith(reader->Output(), "reader ok ");
        ASSERT_EQ(summary.size(), 1u);
        EXPECT_EQ(summary[0].substr(summary[0].find(' ') + 1), steps) << "observations, step";
        std::printf("reader: %s (observations, last step seen)\n", summary[0].c_str());
        EXPECT_EQ(db.StructureFault(), "");
    }
}

// Every file of the directory with its bytes.
std::map<std::string, std::string> Files(const testsupport::TempDir& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        files[entry.path().filename().string()] = testsupport::ReadWholeFile(entry.path().string());
    }
    return files;
}

TEST(ProcessSnapshotTest, AReadOnlyOpenOfAnIdleDatabaseReadsItAndChangesNothing) {
    SharedDatabase db;
    const auto before = Files(db.dir());
    {
        vell::OutputCapture quiet;
        void* file = nullptr;
        ASSERT_EQ(BRN_OpenFile(db.path().c_str(), file, BRN_OPEN_READ_ONLY), BRN_OK)
            << quiet.Text();
        SnapshotState state;
        EXPECT_EQ(ReadSnapshotState(file, state), BRN_OK);
        EXPECT_TRUE(state == InitialSnapshotState());

        void* key = nullptr;
        ASSERT_EQ(BRN_OpenKey(file, key, kSnapshotMainKey, TopKey(0), MODE_OPEN), BRN_OK);
        vell::VariableData value(5);
        std::string child = "new";
        EXPECT_EQ(BRN_EditProperty(key, "a", value), BRN_ERR_OPENED_READ_ONLY);
        EXPECT_EQ(BRN_AppendProperty(key, "z", value), BRN_ERR_OPENED_READ_ONLY);
        EXPECT_EQ(BRN_DeleteProperty(key, "a"), BRN_ERR_OPENED_READ_ONLY);
        EXPECT_EQ(BRN_AppendSubKey(key, child), BRN_ERR_OPENED_READ_ONLY);
        EXPECT_EQ(BRN_RenameKeys(key, "t9"), BRN_ERR_OPENED_READ_ONLY);
        {
            Batch batch(file);
            EXPECT_EQ(BRN_DeleteKey(key), BRN_ERR_OPENED_READ_ONLY);
        }
        void* created = nullptr;
        EXPECT_EQ(BRN_OpenKey(file, created, "M", "", MODE_CREATE), BRN_ERR_OPENED_READ_ONLY);
        BRN_CloseBRNHandle(created);
        BRN_CloseBRNHandle(key);
        EXPECT_EQ(ReadSnapshotState(file, state), BRN_OK);
        EXPECT_TRUE(state == InitialSnapshotState());
        BRN_CloseBRNFHandle(file);
    }
    EXPECT_TRUE(Files(db.dir()) == before) << "a read-only open changed or made files";
}

TEST(ProcessSnapshotTest, AReadOnlyOpenMakesNoDatabaseWhereThereIsNone) {
    testsupport::TempDir dir;
    vell::OutputCapture quiet;
    void* file = nullptr;
    EXPECT_EQ(BRN_OpenFile(dir.File("db").c_str(), file, BRN_OPEN_READ_ONLY), BRN_ERR_NO_DATABASE);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(ProcessSnapshotTest, AReadOnlyOpenLeavesADamagedDatabaseAsItIs) {
    SharedDatabase db;
    // The first data file cut to half, as a copy interrupted half-way leaves it.
    std::string first_file;
    for (const auto& [name, bytes] : Files(db.dir())) {
        if (name.ends_with("001")) {
            first_file = db.dir().File(name);
        }
    }
    ASSERT_FALSE(first_file.empty());
    std::filesystem::resize_file(first_file, std::filesystem::file_size(first_file) / 2);
    const auto before = Files(db.dir());
    {
        vell::OutputCapture quiet;
        void* file = nullptr;
        const int result = BRN_OpenFile(db.path().c_str(), file, BRN_OPEN_READ_ONLY);
        if (result == BRN_OK) {
            SnapshotState state;
            try {
                ReadSnapshotState(file, state);
            } catch (...) {
                // A damaged page met while reading; the files must still be as they were.
            }
            BRN_CloseBRNFHandle(file);
        }
        std::printf("read-only open of the cut database: %d\n", result);
    }
    EXPECT_TRUE(Files(db.dir()) == before) << "a read-only open changed a damaged database";
}

}  // namespace
}  // namespace brindle::sharing
