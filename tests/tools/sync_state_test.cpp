#include "brindle/sync_state.h"

#include <gtest/gtest.h>

#include "brindle/sync_local.h"
#include "support/temp_dir.h"

namespace brindle::tool::sync {
namespace {

class SyncStateTest : public ::testing::Test {
protected:
    DatabaseAccess Access() const { return {dir_.File("db/db"), true, 0, OpenMode::kShared}; }

    testsupport::TempDir dir_;
};

TEST_F(SyncStateTest, WhatWasSeenSurvivesReopeningLongKeysAndDeletionsIncluded) {
    const std::string prefix = "/fleet";
    const std::string short_key = prefix + "/App/k/=port";
    const std::string long_key = prefix + "/App/" + std::string(300, 'x') + "/=p";
    const std::string hashed_looking = prefix + "/#App/=";  // a name that starts like a digest
    {
        Database database(Access());
        SyncState state(database, prefix);
        state.Load();
        EXPECT_EQ(state.Revision(), 0);
        state.Remember(short_key, "one", 7);
        state.Remember(long_key, "two", 8);
        state.Remember(hashed_looking, "{}", 9);
        state.Forget(prefix + "/App/old/=", 10);
        state.SetRevision(9);
        state.SetCluster("cluster-1");
        state.Save();
    }
    Database database(Access());
    SyncState state(database, prefix);
    state.Load();
    EXPECT_EQ(state.Revision(), 9);
    EXPECT_EQ(state.Cluster(), "cluster-1");
    const std::string one = "one";
    const std::string two = "two";
    EXPECT_TRUE(state.Matches(short_key, &one));
    EXPECT_FALSE(state.Matches(short_key, &two));
    EXPECT_EQ(state.LiveRevision(short_key), 7);
    EXPECT_TRUE(state.Matches(long_key, &two));
    EXPECT_EQ(state.LiveRevision(hashed_looking), 9);
    ASSERT_NE(state.Find(prefix + "/App/old/="), nullptr);
    EXPECT_TRUE(state.Find(prefix + "/App/old/=")->deleted);
    EXPECT_TRUE(state.Matches(prefix + "/App/old/=", nullptr));

    // A deletion is kept until the applied revision passes it; Clear forgets everything.
    state.DropOldDeletions();
    EXPECT_NE(state.Find(prefix + "/App/old/="), nullptr);
    state.SetRevision(10);
    state.DropOldDeletions();
    state.Save();
    SyncState reread(database, prefix);
    reread.Load();
    EXPECT_EQ(reread.Find(prefix + "/App/old/="), nullptr);
    EXPECT_EQ(reread.LiveRevision(short_key), 7);
    reread.Clear();
    reread.Save();
    SyncState cleared(database, prefix);
    cleared.Load();
    EXPECT_EQ(cleared.Revision(), 0);
    EXPECT_EQ(cleared.Find(long_key), nullptr);
    EXPECT_EQ(cleared.Find(short_key), nullptr);
}

TEST_F(SyncStateTest, TheLocalTreeReadsScopesAndTakesEtcdsValues) {
    Database database(Access());
    const KeyNaming naming("/p");
    LocalTree tree(database, naming);
    tree.Write({"App", {}, ""}, MarkerValueText(true, true, false));
    tree.Write({"App", {"a", "b"}, "n"}, R"({"type":"int","value":5})");
    tree.Write({"App", {"a"}, "m"}, R"({"type":"string","value":"x"})");

    Mirror flat;
    tree.Read("App", {"a"}, false, flat);
    EXPECT_EQ(flat.size(), 2u);  // a's marker and its property, not b
    EXPECT_EQ(flat.at("/p/App/a/=m"), R"({"type":"string","value":"x"})");
    Mirror all;
    tree.Read("App", {}, true, all);
    EXPECT_EQ(all.at("/p/App/="), MarkerValueText(true, true, false));  // made hidden
    EXPECT_EQ(all.at("/p/App/a/b/=n"), R"({"type":"int","value":5})");
    EXPECT_EQ(all.size(), 5u);

    std::optional<std::string> before;
    tree.Exchange({"App", {"a", "b"}, "n"}, R"({"type":"int","value":6})", before);
    EXPECT_EQ(before, R"({"type":"int","value":5})");
    tree.Exchange({"App", {"a"}, ""}, std::nullopt, before);  // a key's marker goes: all of it
    EXPECT_EQ(before, "{}");
    Mirror after;
    tree.Read("App", {}, true, after);
    EXPECT_EQ(after.size(), 1u);
    EXPECT_FALSE(tree.ReadOne({"App", {"a", "b"}, "n"}).has_value());
}

}  // namespace
}  // namespace brindle::tool::sync
