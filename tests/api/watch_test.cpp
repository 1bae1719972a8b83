#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "api/api_test_util.h"
#include "api/watch_test_util.h"
#include "brindle_batch.h"
#include "brindle_watch.h"

namespace brindle::testing_api {
namespace {

using Lines = std::vector<std::string>;

class WatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        app_ = db_.Key("app", "", MODE_CREATE);
        other_ = db_.Key("other", "", MODE_CREATE);
    }
    WatchToken WatchAll(ChangeLog& log) { return Watch(db_.file(), "", "", true, log.Callback()); }
    // A change of its own main key that every watch of "other" sees: what came before it
    // has been told by the time it arrives.
    void Marker(ChangeLog& log, size_t expected_total) {
        ASSERT_EQ(Append(other_, "marker" + std::to_string(expected_total), 1), BRN_OK);
        ASSERT_TRUE(log.WaitFor(expected_total));
    }

    TestDatabase db_;
    void* app_ = nullptr;
    void* other_ = nullptr;
};

TEST_F(WatchTest, EveryKindOfChangeArrivesInCommitOrder) {
    ChangeLog log;
    const WatchToken token = WatchAll(log);
    ASSERT_NE(token, 0u);
    std::string name = "x";
    ASSERT_EQ(BRN_AppendSubKey(app_, name), BRN_OK);
    void* x = db_.Key("app", "x");
    ASSERT_EQ(Append(x, "p", 1), BRN_OK);
    ASSERT_EQ(Edit(x, "p", 2), BRN_OK);
    std::string child = "y";
    ASSERT_EQ(BRN_AppendSubKey(x, child), BRN_OK);
    void* y = db_.Key("app", "x\\y");
    ASSERT_EQ(Append(y, "q", 1), BRN_OK);  // y's path is known now, and changes below
    ASSERT_EQ(BRN_DeleteProperty(x, "p"), BRN_OK);
    ASSERT_EQ(BRN_RenameKeys(x, "x2"), BRN_OK);
    ASSERT_EQ(BRN_DeleteKey(y), BRN_OK);
    void* fresh = nullptr;
    ASSERT_EQ(db_.OpenKey(fresh, "third", "", MODE_CREATE), BRN_OK);
    void* renamer = nullptr;
    ASSERT_EQ(db_.OpenKey(renamer, "third", "fourth", MODE_RENAME), BRN_OK);
    ASSERT_TRUE(log.WaitFor(10));
    EXPECT_EQ(log.Lines(),
              (Lines{"key-added app x ", "property-set app x p", "property-set app x p",
                     "key-added app x\\y ", "property-set app x\\y q", "property-deleted app x p",
                     "key-renamed app x x2", "key-deleted app x2\\y ", "key-added third  ",
                     "key-renamed third  fourth"}));
    const std::vector<Change> changes = log.Changes();
    for (size_t i = 1; i < changes.size(); ++i) {
        EXPECT_GT(changes[i].sequence, changes[i - 1].sequence) << i;
    }
    EXPECT_TRUE(Unwatch(token));
}

TEST_F(WatchTest, WatchesHearOnlyOfTheirKeyOrSubtree) {
    std::string name = "x";
    ASSERT_EQ(BRN_AppendSubKey(app_, name), BRN_OK);
    void* x = db_.Key("app", "x");
    name = "deep";
    ASSERT_EQ(BRN_AppendSubKey(x, name), BRN_OK);
    void* deep = db_.Key("app", "x\\deep");

    ChangeLog flat, tree, main_only, all;
    Watch(db_.file(), "app", "x", false, flat.Callback());
    Watch(db_.file(), "app", "x", true, tree.Callback());
    Watch(db_.file(), "app", "", false, main_only.Callback());
    WatchAll(all);
    ASSERT_EQ(Append(x, "own", 1), BRN_OK);
    ASSERT_EQ(Append(deep, "below", 1), BRN_OK);
    name = "child";
    ASSERT_EQ(BRN_AppendSubKey(x, name), BRN_OK);
    ASSERT_EQ(Append(app_, "top", 1), BRN_OK);
    ASSERT_EQ(Append(other_, "elsewhere", 1), BRN_OK);
    ASSERT_EQ(BRN_DeleteKey(x), BRN_OK);
    ASSERT_TRUE(all.WaitFor(6));

    EXPECT_EQ(flat.Lines(),
              (Lines{"property-set app x own", "key-added app x\\child ", "key-deleted app x "}));
    EXPECT_EQ(tree.Lines(), (Lines{"property-set app x own", "property-set app x\\deep below",
                                   "key-added app x\\child ", "key-deleted app x "}));
    EXPECT_EQ(main_only.Lines(), (Lines{"property-set app  top", "key-deleted app x "}));
}

TEST_F(WatchTest, FailedOrRolledBackChangesAreNeverTold) {
    ASSERT_EQ(Append(app_, "p", 1), BRN_OK);
    ChangeLog log;
    WatchAll(log);
    EXPECT_EQ(Append(app_, "p", 2), BRN_ERR_PROPERTY_EXISTS);
    EXPECT_EQ(BRN_DeleteProperty(app_, "missing"), BRN_ERR_PROPERTY_NOT_FOUND);
    std::string name = "p";
    {
        Batch batch(db_.file());
        ASSERT_EQ(Append(app_, "rolled", 1), BRN_OK);
        ASSERT_EQ(BRN_AppendSubKey(app_, name), BRN_OK);
        batch.Rollback();
    }
    Marker(log, 1);
    EXPECT_EQ(log.Lines(), (Lines{"property-set other  marker1"}));
}

TEST_F(WatchTest, BatchIsToldAtItsCommitAsOneSequence) {
    ChangeLog log;
    WatchAll(log);
    Marker(log, 1);
    {
        Batch batch(db_.file());
        ASSERT_EQ(Append(app_, "a", 1), BRN_OK);
        EXPECT_EQ(Append(app_, "a", 1), BRN_ERR_PROPERTY_EXISTS);  // dropped, batch goes on
        ASSERT_EQ(Append(app_, "b", 1), BRN_OK);
        void* created = nullptr;
        ASSERT_EQ(db_.OpenKey(created, "made", "", MODE_CREATE), BRN_OK);
        ASSERT_EQ(batch.Commit(), BRN_OK);
    }
    ASSERT_TRUE(log.WaitFor(4));
    EXPECT_EQ(log.Lines(), (Lines{"property-set other  marker1", "property-set app  a",
                                  "property-set app  b", "key-added made  "}));
    const std::vector<Change> changes = log.Changes();
    EXPECT_GT(changes[1].sequence, changes[0].sequence);
    EXPECT_EQ(changes[1].sequence, changes[3].sequence);
}

TEST_F(WatchTest, CallbacksMayReadAndChangeTheDatabase) {
    ChangeLog log;
    void*& file = db_.file();
    std::atomic<int> read_value{0};
    const WatchToken token = Watch(file, "app", "", false, [&](const Change& change) {
        if (change.name != "trigger") {
            log.Add(change);
            return;
        }
        void* key = nullptr;
        if (BRN_OpenKey(file, key, "app", "", MODE_OPEN) == BRN_OK) {
            vell::VariableData value;
            if (BRN_GetKeyProperty(key, "trigger", value) == BRN_OK) {
                read_value = value.GetInt();
            }
            vell::VariableData echo(7);
            BRN_AppendProperty(key, "echo", echo);
        }
        BRN_CloseBRNHandle(key);
        log.Add(change);
    });
    ASSERT_EQ(Append(app_, "trigger", 5), BRN_OK);
    ASSERT_TRUE(log.WaitFor(2));
    EXPECT_EQ(log.Lines(), (Lines{"property-set app  trigger", "property-set app  echo"}));
    EXPECT_EQ(read_value.load(), 5);
    EXPECT_TRUE(Unwatch(token));  // before what the callback refers to goes
}

TEST_F(WatchTest, UnwatchedCallbackIsNeverCalledAgain) {
    ChangeLog gone, kept;
    const WatchToken token = WatchAll(gone);
    WatchAll(kept);
    Marker(kept, 1);
    ASSERT_TRUE(gone.WaitFor(1));
    EXPECT_TRUE(Unwatch(token));
    EXPECT_FALSE(Unwatch(token));
    EXPECT_FALSE(Unwatch(0));
    Marker(kept, 2);
    EXPECT_EQ(gone.Changes().size(), 1u);

    // A callback may end its own watch.
    ChangeLog self;
    std::atomic<WatchToken> own{0};
    std::atomic<bool> unwatched{false};
    own = Watch(db_.file(), "", "", true, [&](const Change& change) {
        unwatched = Unwatch(own.load());
        self.Add(change);
    });
    Marker(kept, 3);
    Marker(kept, 4);
    EXPECT_TRUE(unwatched.load());
    EXPECT_EQ(self.Changes().size(), 1u);
}

TEST_F(WatchTest, ImportTellsOfEveryKeyAndPropertyOrResyncsWhenLarge) {
    std::string name = "sub";
    ASSERT_EQ(BRN_AppendSubKey(app_, name), BRN_OK);
    void* sub = db_.Key("app", "sub");
    ASSERT_EQ(Append(sub, "v", 1), BRN_OK);
    name = "leaf";
    ASSERT_EQ(BRN_AppendSubKey(sub, name), BRN_OK);
    const std::string image = db_.dir().File("sub.img");
    ASSERT_EQ(BRN_ExportSubTree(sub, image, false), BRN_OK);
    ASSERT_EQ(BRN_DeleteKey(sub), BRN_OK);

    ChangeLog log;
    WatchAll(log);
    ASSERT_EQ(BRN_ImportSubTree(db_.file(), image, false), BRN_OK);
    ASSERT_TRUE(log.WaitFor(3));
    EXPECT_EQ(log.Lines(),
              (Lines{"key-added app sub ", "property-set app sub v", "key-added app sub\\leaf "}));

    // Thousands of properties: one resync of the main key instead of a note each.
    void* big = db_.Key("app", "sub");
    {
        Batch batch(db_.file());
        for (int i = 0; i < 3000; ++i) {
            ASSERT_EQ(Append(big, "property-with-a-longish-name-" + std::to_string(i), i), BRN_OK);
        }
        ASSERT_EQ(batch.Commit(), BRN_OK);
    }
    ASSERT_EQ(BRN_ExportSubTree(big, image, true), BRN_OK);
    ChangeLog after;
    WatchAll(after);
    ASSERT_EQ(BRN_ImportSubTree(db_.file(), image, false), BRN_OK);
    Marker(after, 2);
    EXPECT_EQ(after.Lines(), (Lines{"resync app  ", "property-set other  marker2"}));
}

TEST_F(WatchTest, ClosingEndsLiveWatches) {
    ChangeLog log;
    const WatchToken token = WatchAll(log);
    Marker(log, 1);
    db_.Close();
    EXPECT_FALSE(Unwatch(token));
    void* closed = nullptr;
    EXPECT_EQ(Watch(closed, "", "", true, log.Callback()), 0u);
}

TEST(WatchNamesTest, KindsHaveTheirTextNames) {
    EXPECT_STREQ(ChangeKindName(ChangeKind::kKeyAdded), "key-added");
    EXPECT_STREQ(ChangeKindName(ChangeKind::kKeyDeleted), "key-deleted");
    EXPECT_STREQ(ChangeKindName(ChangeKind::kKeyRenamed), "key-renamed");
    EXPECT_STREQ(ChangeKindName(ChangeKind::kPropertySet), "property-set");
    EXPECT_STREQ(ChangeKindName(ChangeKind::kPropertyDeleted), "property-deleted");
    EXPECT_STREQ(ChangeKindName(ChangeKind::kResync), "resync");
}

}  // namespace
}  // namespace brindle::testing_api
