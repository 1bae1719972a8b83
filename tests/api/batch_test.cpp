// Batches: several changing calls of one thread as one unit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "api_test_util.h"
#include "brindle.h"
#include "brindle_batch.h"
#include "support/faulty_file_system.h"

namespace brindle {
namespace {

using testing_api::TestDatabase;

int Append(void* key, const std::string& name, int value) {
    vell::VariableData data(value);
    return BRN_AppendProperty(key, name, data);
}

int Read(void* key, const std::string& name) {
    vell::VariableData value;
    int result = BRN_GetKeyProperty(key, name, value);
    return result == BRN_OK ? value.GetInt() : -result;
}

TEST(BatchTest, CommitKeepsEveryCallAndAFailedCallInsideChangesNothing) {
    TestDatabase db;
    void* a = db.Key("A", "", MODE_CREATE);
    {
        Batch batch(db.file());
        ASSERT_EQ(batch.Status(), BRN_OK);
        EXPECT_EQ(Append(a, "x", 1), BRN_OK);
        EXPECT_EQ(Append(a, "x", 2), BRN_ERR_PROPERTY_EXISTS);  // fails alone
        void* b = db.Key("B", "", MODE_CREATE);                 // a new main key joins too
        EXPECT_EQ(Append(b, "y", 3), BRN_OK);
        std::string child = "c";
        EXPECT_EQ(BRN_AppendSubKey(a, child), BRN_OK);
        EXPECT_EQ(batch.Commit(), BRN_OK);
    }
    db.Reopen();
    EXPECT_EQ(Read(db.Key("A"), "x"), 1);
    EXPECT_EQ(Read(db.Key("B"), "y"), 3);
    db.Key("A", "c");
}

TEST(BatchTest, LeavingTheScopeRollsBackEveryCallMainKeysIncluded) {
    TestDatabase db;
    void* a = db.Key("A", "", MODE_CREATE);
    ASSERT_EQ(Append(a, "kept", 1), BRN_OK);
    {
        Batch batch(db.file());
        EXPECT_EQ(Append(a, "x", 1), BRN_OK);
        EXPECT_EQ(BRN_DeleteProperty(a, "kept"), BRN_OK);
        db.Key("B", "", MODE_CREATE);
        void* c = db.Key("C", "", MODE_CREATE);
        EXPECT_EQ(BRN_RenameKeys(c, "D"), BRN_OK);
    }
    for (int pass = 0; pass < 2; ++pass) {  // in memory, then after a reopen
        void* key = nullptr;
        EXPECT_EQ(db.OpenKey(key, "B"), BRN_ERR_MAIN_KEY_NOT_FOUND);
        EXPECT_EQ(db.OpenKey(key, "D"), BRN_ERR_MAIN_KEY_NOT_FOUND);
        void* again = db.Key("A");
        EXPECT_EQ(Read(again, "x"), -BRN_ERR_PROPERTY_NOT_FOUND);
        EXPECT_EQ(Read(again, "kept"), 1);
        db.Reopen();
    }
    // And the database goes on: the names are free again.
    db.Key("B", "", MODE_CREATE);
}

TEST(BatchTest, BatchesDoNotNestAndBadHandlesAreRefused) {
    TestDatabase db;
    Batch outer(db.file());
    Batch inner(db.file());
    EXPECT_EQ(inner.Status(), BRN_FAIL);
    EXPECT_FALSE(inner.Open());
    EXPECT_EQ(Batch(nullptr).Status(), BRN_ERR_NULL_HANDLE);
    EXPECT_EQ(Batch(testing_api::NoHandleValue()).Status(), BRN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(outer.Commit(), BRN_OK);
    EXPECT_EQ(outer.Commit(), BRN_OK);  // ended: says how it ended
}

TEST(BatchTest, AJournalThatRefusesTheCommitLeavesNothing) {
    TestDatabase db;
    void* a = db.Key("A", "", MODE_CREATE);
    for (uint64_t fail_at = 1;; ++fail_at) {
        int committed = 0;
        {
            vell::OutputCapture quiet;
            testsupport::FaultyFileSystem faulty(fail_at, ENOSPC);
            Batch batch(db.file());
            Append(a, "p" + std::to_string(fail_at), 1);
            Append(a, "q" + std::to_string(fail_at), 2);
            committed = batch.Commit();
            if (!faulty.Fired()) {
                ASSERT_EQ(committed, BRN_OK);
                break;
            }
        }
        const bool both = Read(a, "p" + std::to_string(fail_at)) == 1 &&
                          Read(a, "q" + std::to_string(fail_at)) == 2;
        const bool neither = Read(a, "p" + std::to_string(fail_at)) < 0 &&
                             Read(a, "q" + std::to_string(fail_at)) < 0;
        EXPECT_TRUE(committed == BRN_OK ? both : neither) << "failing operation " << fail_at;
    }
}

// Another thread's reader waits for the batch instead of seeing its changes: a rollback
// must leave it nothing to have seen.
TEST(BatchConcurrency, ReadersNeverSeeABatchThatRollsBack) {
    TestDatabase db;
    void* a = db.Key("A", "", MODE_CREATE);
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> seen{0};
        std::thread reader;
        {
            Batch batch(db.file());
            ASSERT_EQ(Append(a, "x", 7), BRN_OK);
            reader = std::thread([&] {
                void* key = nullptr;
                BRN_OpenKey(db.file(), key, "A", "", MODE_OPEN);
                seen = Read(key, "x");
                BRN_CloseBRNHandle(key);
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(round % 3));
        }  // rolled back
        reader.join();
        EXPECT_EQ(seen.load(), -BRN_ERR_PROPERTY_NOT_FOUND) << "round " << round;
    }
}

// A second batch on another thread waits for the first, and then runs whole.
TEST(BatchConcurrency, ASecondBatchWaitsForTheFirst) {
    TestDatabase db;
    void* a = db.Key("A", "", MODE_CREATE);
    void* b = db.Key("B", "", MODE_CREATE);
    std::atomic<bool> first_done{false};
    std::atomic<bool> second_saw_first{false};
    std::thread second;
    {
        Batch batch(db.file());
        ASSERT_EQ(Append(a, "first", 1), BRN_OK);
        second = std::thread([&] {
            Batch other(db.file());  // waits here
            second_saw_first = first_done.load();
            Append(b, "second", 2);
            other.Commit();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        first_done = true;
        ASSERT_EQ(batch.Commit(), BRN_OK);
    }
    second.join();
    EXPECT_TRUE(second_saw_first.load());
    EXPECT_EQ(Read(b, "second"), 2);
}

}  // namespace
}  // namespace brindle
