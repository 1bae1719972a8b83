// A database read through a second, read-only open while it is written: in one process, so
// that the thread sanitizer sees the catch-up, the readers and the writer together. (Two
// opens of one database in a process meet as two processes would.)
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "api/api_test_util.h"
#include "brindle_batch.h"

namespace brindle {
namespace {

using testing_api::Append;
using testing_api::NoHandleValue;
using testing_api::TestDatabase;

// A second open of the database at `path` with `options`, closed with its keys.
class SecondOpen {
public:
    SecondOpen(const std::string& path, unsigned int options) {
        result_ = BRN_OpenFile(path.c_str(), file_, options);
    }
    ~SecondOpen() {
        for (void*& key : keys_) {
            BRN_CloseBRNHandle(key);
        }
        BRN_CloseBRNFHandle(file_);
    }
    int result() const { return result_; }
    void* Key(const std::string& main_key, const std::string& path = "") {
        void* key = nullptr;
        EXPECT_EQ(BRN_OpenKey(file_, key, main_key, path, MODE_OPEN), BRN_OK);
        keys_.push_back(key);
        return key;
    }
    void*& file() { return file_; }

private:
    void* file_ = nullptr;
    int result_ = 0;
    std::vector<void*> keys_;
};

int32_t ReadInt(void* key, const std::string& name) {
    vell::VariableData value;
    EXPECT_EQ(BRN_GetKeyProperty(key, name, value), BRN_OK) << name;
    return value.GetInt();
}

TEST(SharingConcurrencyTest, AReaderSeesEachCommitWholeAndChangesNothing) {
    TestDatabase db;
    void* key = db.Key("m", "", MODE_CREATE);
    vell::VariableData zero(int32_t{0});
    ASSERT_EQ(BRN_AppendProperty(key, "a", zero), BRN_OK);
    ASSERT_EQ(BRN_AppendProperty(key, "b", zero), BRN_OK);

    SecondOpen reader(db.path(), BRN_OPEN_READ_ONLY);
    ASSERT_EQ(reader.result(), BRN_OK);
    void* seen = reader.Key("m");
    EXPECT_EQ(ReadInt(seen, "a"), 0);
    vell::VariableData value(int32_t{5});
    EXPECT_EQ(BRN_EditProperty(seen, "a", value), BRN_ERR_OPENED_READ_ONLY);
    void* none = nullptr;
    EXPECT_EQ(BRN_OpenKey(reader.file(), none, "n", "", MODE_CREATE), BRN_ERR_OPENED_READ_ONLY);
    BRN_CloseBRNHandle(none);

    // The writer sets a and b to the same number in one batch; readers on two threads must
    // never see them apart, nor see a number go back.
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
        readers.emplace_back([&] {
            int32_t last = 0;
            while (!done.load()) {
                vell::VariableData a;
                vell::VariableData b;
                std::list<std::pair<std::string, vell::VariableData>> all;
                ASSERT_EQ(BRN_SelectKeyPropertys(seen, all), BRN_OK);
                ASSERT_EQ(all.size(), 2u);
                const int32_t first = all.front().second.GetInt();
                const int32_t second = all.back().second.GetInt();
                if (first != second || first < last) {
                    ++torn;
                }
                last = first;
            }
        });
    }
    for (int32_t step = 1; step <= 300; ++step) {
        Batch batch(db.file());
        vell::VariableData number(step);
        ASSERT_EQ(BRN_EditProperty(key, "a", number), BRN_OK);
        ASSERT_EQ(BRN_EditProperty(key, "b", number), BRN_OK);
        ASSERT_EQ(batch.Commit(), BRN_OK);
    }
    done = true;
    for (std::thread& thread : readers) {
        thread.join();
    }
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(ReadInt(seen, "a"), 300);
}

TEST(SharingConcurrencyTest, AReaderFollowsKeysCheckpointsAndTheWritersClose) {
    ::setenv("BRINDLE_CHECKPOINT_BYTES", "4096", 1);
    TestDatabase db;
    ::unsetenv("BRINDLE_CHECKPOINT_BYTES");
    void* key = db.Key("m", "", MODE_CREATE);
    SecondOpen reader(db.path(), BRN_OPEN_READ_ONLY);
    ASSERT_EQ(reader.result(), BRN_OK);
    void* seen = reader.Key("m");
    for (int i = 0; i < 200; ++i) {
        std::string name = "k" + std::to_string(i);
        ASSERT_EQ(BRN_AppendSubKey(key, name), BRN_OK);
        const std::string text(300, static_cast<char>('a' + i % 26));
        vell::VariableData value(text.c_str());
        ASSERT_EQ(BRN_AppendProperty(key, "p" + std::to_string(i), value), BRN_OK);
        if (i % 20 == 0) {
            std::list<std::string> names;
            ASSERT_EQ(BRN_SelectSubKeys(seen, names), BRN_OK);
            EXPECT_EQ(names.size(), static_cast<size_t>(i + 1));
        }
    }
    void* created = db.Key("other", "", MODE_CREATE);
    (void)created;
    std::list<std::string> mains;
    void* any = reader.Key("m");
    ASSERT_EQ(BRN_GetAllMainKeys(any, mains), BRN_OK);
    EXPECT_EQ(mains.size(), 2u);
    db.Close();
    std::list<std::pair<std::string, vell::VariableData>> all;
    ASSERT_EQ(BRN_SelectKeyPropertys(seen, all), BRN_OK);
    EXPECT_EQ(all.size(), 200u);
}

// A writer that went without emptying the published state (killed, or its close could not
// finish) leaves it counting records the journal no longer holds: a read-only open reads the
// data files, which hold everything there is, instead of waiting for those records.
TEST(SharingConcurrencyTest, AReaderOpensWhereTheStateCountsRecordsTheJournalLacks) {
    TestDatabase db;
    void* key = db.Key("m", "", MODE_CREATE);
    ASSERT_EQ(Append(key, "a", 5), BRN_OK);
    db.Close();
    SecondOpen holder(db.path(), BRN_OPEN_READ_ONLY);  // keeps the side file as it is
    ASSERT_EQ(holder.result(), BRN_OK);
    {
        // Published: five more commits than the data files hold, in a journal of 4096 bytes.
        std::fstream state(db.path() + ".shared", std::ios::in | std::ios::out | std::ios::binary);
        uint64_t sequence = 0;
        state.seekg(24);
        state.read(reinterpret_cast<char*>(&sequence), sizeof sequence);
        sequence += 5;
        const uint64_t journal_end = 4096;
        state.seekp(24);
        state.write(reinterpret_cast<const char*>(&sequence), sizeof sequence);
        state.write(reinterpret_cast<const char*>(&journal_end), sizeof journal_end);
        ASSERT_TRUE(state.good());
    }
    SecondOpen reader(db.path(), BRN_OPEN_READ_ONLY);
    ASSERT_EQ(reader.result(), BRN_OK);
    EXPECT_EQ(ReadInt(reader.Key("m"), "a"), 5);
}

TEST(SharingConcurrencyTest, OpensTellWhyTheyFail) {
    testsupport::TempDir dir;
    vell::OutputCapture quiet;
    void* file = nullptr;
    EXPECT_EQ(BRN_OpenFile(dir.File("db").c_str(), file, BRN_OPEN_READ_ONLY), BRN_ERR_NO_DATABASE);
    EXPECT_EQ(file, NoHandleValue());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    TestDatabase db;
    // A second writer in one process fails as it always did; a reader may join.
    SecondOpen exclusive(db.path(), 0);
    EXPECT_EQ(exclusive.result(), BRN_FAIL);
    SecondOpen shared(db.path(), BRN_OPEN_SHARED);
    EXPECT_EQ(shared.result(), BRN_FAIL);
    SecondOpen reader(db.path(), BRN_OPEN_READ_ONLY);
    EXPECT_EQ(reader.result(), BRN_OK);
}

}  // namespace
}  // namespace brindle
