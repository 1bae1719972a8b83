#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/api_test_util.h"
#include "api/watch_test_util.h"
#include "brindle_batch.h"
#include "brindle_watch.h"

namespace brindle::testing_api {
namespace {

constexpr int kWriters = 2;
constexpr int kChangesEach = 200;

std::string WriterKey(int writer) {
    return "w" + std::to_string(writer);
}

// Writers change their own main keys while a watch of everything reads the database from its
// callback and another thread keeps adding and ending watches: every change arrives once, each
// writer's in its order, sequence numbers never go back.
TEST(WatchConcurrencyTest, WritersWatchersAndUnwatchersRunSideBySide) {
    TestDatabase db;
    for (int w = 0; w < kWriters; ++w) {
        db.Key(WriterKey(w), "", MODE_CREATE);
    }
    ChangeLog log;
    void*& file = db.file();
    WatchToken all = Watch(file, "", "", true, [&](const Change& change) {
        void* key = nullptr;
        if (BRN_OpenKey(file, key, change.main_key, "", MODE_OPEN) == BRN_OK) {
            vell::VariableData value;
            BRN_GetKeyProperty(key, change.name, value);
        }
        BRN_CloseBRNHandle(key);
        log.Add(change);
    });
    ASSERT_NE(all, 0u);

    std::atomic<bool> writing{true};
    std::thread churn([&] {
        std::atomic<int> calls{0};
        while (writing.load()) {
            WatchToken token =
                Watch(file, WriterKey(0), "", true, [&](const Change&) { calls.fetch_add(1); });
            EXPECT_TRUE(Unwatch(token));
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            void* key = nullptr;
            ASSERT_EQ(BRN_OpenKey(file, key, WriterKey(w), "", MODE_OPEN), BRN_OK);
            for (int i = 0; i < kChangesEach; ++i) {
                vell::VariableData value(i);
                EXPECT_EQ(BRN_AppendProperty(key, "p" + std::to_string(i), value), BRN_OK);
            }
            BRN_CloseBRNHandle(key);
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    writing = false;
    churn.join();

    ASSERT_TRUE(log.WaitFor(kWriters * kChangesEach));
    std::map<std::string, int> next;
    uint64_t sequence = 0;
    for (const Change& change : log.Changes()) {
        EXPECT_EQ(change.name, "p" + std::to_string(next[change.main_key]++));
        EXPECT_GT(change.sequence, sequence);
        sequence = change.sequence;
    }
    EXPECT_EQ(log.Changes().size(), static_cast<size_t>(kWriters * kChangesEach));
    EXPECT_TRUE(Unwatch(all));
}

// A database closed while callbacks run and writes go on: the close waits for the running
// callback, then no callback runs again.
TEST(WatchConcurrencyTest, CloseWhileCallbacksRun) {
    for (int round = 0; round < 5; ++round) {
        auto db = std::make_unique<TestDatabase>();
        void* key = db->Key("app", "", MODE_CREATE);
        std::atomic<bool> closed{false};
        std::atomic<int> after_close{0};
        std::atomic<int> calls{0};
        for (int w = 0; w < 3; ++w) {
            Watch(db->file(), "", "", true, [&](const Change&) {
                calls.fetch_add(1);
                std::this_thread::yield();
                after_close += closed.load() ? 1 : 0;
            });
        }
        for (int i = 0; i < 50; ++i) {
            vell::VariableData value(i);
            ASSERT_EQ(BRN_AppendProperty(key, "p" + std::to_string(i), value), BRN_OK);
        }
        db->Close();
        closed = true;
        db.reset();
        EXPECT_EQ(after_close.load(), 0);
    }
}

// Unwatch from another thread returns only after the running callback has.
TEST(WatchConcurrencyTest, UnwatchWaitsForTheRunningCallback) {
    TestDatabase db;
    void* key = db.Key("app", "", MODE_CREATE);
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> unwatched{false};
    std::atomic<bool> saw_unwatched{false};
    const WatchToken token = Watch(db.file(), "", "", true, [&](const Change&) {
        entered = true;
        while (!release.load()) {
            std::this_thread::yield();
        }
        saw_unwatched = saw_unwatched || unwatched.load();
    });
    ASSERT_EQ(Append(key, "p", 1), BRN_OK);
    while (!entered.load()) {
        std::this_thread::yield();
    }
    std::thread ender([&] {
        EXPECT_TRUE(Unwatch(token));
        unwatched = true;
    });
    // Gives the ender time to reach Unwatch; the check holds however the threads run.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    release = true;
    ender.join();
    EXPECT_FALSE(saw_unwatched.load());
}

// A second open of the database (as another process would) hears of the first one's commits
// through the journal: the same changes, with the same sequence numbers, in the same order.
TEST(WatchConcurrencyTest, AnotherOpenHearsOfEveryCommit) {
    TestDatabase db;
    void* key = db.Key("app", "", MODE_CREATE);
    void* reader = nullptr;
    ASSERT_EQ(BRN_OpenFile(db.path().c_str(), reader, BRN_OPEN_READ_ONLY), BRN_OK);
    ChangeLog here;
    ChangeLog there;
    Watch(db.file(), "app", "", true, here.Callback());
    const WatchToken remote = Watch(reader, "app", "", true, there.Callback());
    ASSERT_NE(remote, 0u);
    constexpr int kCommits = 100;
    for (int i = 0; i < kCommits; ++i) {
        ASSERT_EQ(Append(key, "p" + std::to_string(i), i), BRN_OK);
    }
    {
        Batch batch(db.file());
        ASSERT_EQ(Append(key, "in-batch-1", 1), BRN_OK);
        ASSERT_EQ(Append(key, "in-batch-2", 2), BRN_OK);
        ASSERT_EQ(batch.Commit(), BRN_OK);
    }
    ASSERT_TRUE(here.WaitFor(kCommits + 2));
    ASSERT_TRUE(there.WaitFor(kCommits + 2));
    std::vector<Change> sent = here.Changes();
    std::vector<Change> heard = there.Changes();
    ASSERT_EQ(sent.size(), heard.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].sequence, heard[i].sequence) << i;
        EXPECT_EQ(sent[i].name, heard[i].name) << i;
    }
    BRN_CloseBRNFHandle(reader);
    EXPECT_FALSE(Unwatch(remote));
}

// A callback may close its own database: the feed lets its thread go and nothing is called
// afterwards.
TEST(WatchConcurrencyTest, CallbackClosesItsDatabase) {
    testsupport::TempDir dir;
    vell::OutputCapture quiet;
    // Shared with the callback, which may still be returning when the test ends.
    struct State {
        void* file = nullptr;
        void* key = nullptr;
        std::atomic<int> calls{0};
        std::atomic<bool> committed{false};
        ChangeLog closed;
    };
    auto state = std::make_shared<State>();
    ASSERT_EQ(BRN_OpenFile(dir.File("db").c_str(), state->file, 0), BRN_OK);
    ASSERT_EQ(BRN_OpenKey(state->file, state->key, "app", "", MODE_CREATE), BRN_OK);
    Watch(state->file, "", "", true, [state](const Change& change) {
        // A callback may run before the committing call has returned; like any host, it
        // closes the database only once no call on it runs.
        while (!state->committed.load()) {
            std::this_thread::yield();
        }
        if (state->calls.fetch_add(1) == 0) {
            BRN_CloseBRNHandle(state->key);
            BRN_CloseBRNFHandle(state->file);
            state->closed.Add(change);
        }
    });
    // Two changes in one commit: the second is not told once the first closed the database.
    {
        Batch batch(state->file);
        vell::VariableData value(1);
        ASSERT_EQ(BRN_AppendProperty(state->key, "p1", value), BRN_OK);
        ASSERT_EQ(BRN_AppendProperty(state->key, "p2", value), BRN_OK);
        ASSERT_EQ(batch.Commit(), BRN_OK);
    }
    state->committed = true;
    ASSERT_TRUE(state->closed.WaitFor(1));
    EXPECT_EQ(state->calls.load(), 1);
}

}  // namespace
}  // namespace brindle::testing_api
