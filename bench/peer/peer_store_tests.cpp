// The three stores of the peer benchmark must do the same work, or the comparison says
// nothing: these tests hold each to the behaviour of Brindle's exports, with the cases where
// a store's own layout could go wrong (names that extend a sibling's name, subtrees that span
// many records, values of every kind).

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "peer/brindle_store.h"
#include "peer/lmdb_store.h"
#include "peer/sqlite_store.h"
#include "support/temp_dir.h"
#include "vell/output.h"

namespace peer {
namespace {

// "<prefix><number>". (Spelt out: g++ 12 at -O3 warns falsely on "text" + std::string.)
std::string Numbered(const char* prefix, size_t number) {
    std::string name(prefix);
    name += std::to_string(number);
    return name;
}

template <PeerStore Store>
class PeerStoreTest : public ::testing::Test {
protected:
    using Key = typename Store::Key;

    PeerStoreTest() : store_(folder_.path()) {
        EXPECT_TRUE(store_.CreateMainKey("m"));
        EXPECT_TRUE(store_.Open("m", "", main_));
    }

    // Appends `path` (levels joined by a backslash) below the main key; its parent exists.
    void Append(const std::string& path) {
        const size_t last = path.rfind('\\');
        Key parent;
        ASSERT_TRUE(
            store_.Open("m", last == std::string::npos ? "" : path.substr(0, last), parent));
        ASSERT_TRUE(store_.AppendKey(parent, path.substr(last + 1), nullptr)) << path;
    }

    bool Exists(const std::string& path) {
        Key key;
        return store_.Open("m", path, key);
    }

    KeyListing List(const std::string& path) {
        Key key;
        KeyListing listing;
        EXPECT_TRUE(store_.Open("m", path, key) && store_.List(key, listing)) << path;
        std::sort(listing.children.begin(), listing.children.end());
        return listing;
    }

    vell::OutputCapture quiet_;
    testsupport::TempDir folder_;
    Store store_;
    Key main_;
};

using Stores = ::testing::Types<BrindleStore, SqliteStore, LmdbStore>;
TYPED_TEST_SUITE(PeerStoreTest, Stores);

TYPED_TEST(PeerStoreTest, ListingShowsOnlyDirectChildrenAndOwnProperties) {
    // '-' sorts before the level mark '\' and '~' after it.
    for (const char* path :
         {"a", "a\\b", "a\\b0", "a\\b-", "a\\b~", "a\\b\\deep", "a\\b\\deep\\er", "a0"}) {
        this->Append(path);
    }
    typename TypeParam::Key a;
    typename TypeParam::Key b;
    ASSERT_TRUE(this->store_.Open("m", "a", a));
    ASSERT_TRUE(this->store_.Open("m", "a\\b", b));
    const vell::VariableData one(1);
    const vell::VariableData text("text");
    ASSERT_TRUE(this->store_.AppendProperty(a, "x", one));
    ASSERT_TRUE(this->store_.AppendProperty(a, "y", text));
    ASSERT_TRUE(this->store_.AppendProperty(b, "z", one));

    const KeyListing listing = this->List("a");
    EXPECT_EQ(listing.children, (std::vector<std::string>{"b", "b-", "b0", "b~"}));
    EXPECT_EQ(listing.properties, 2u);
    EXPECT_EQ(listing.checksum, HashProperty("x", one) + HashProperty("y", text));
    EXPECT_EQ(this->List("").children, (std::vector<std::string>{"a", "a0"}));
    EXPECT_EQ(this->List("a\\b\\deep\\er").children.size(), 0u);
}

TYPED_TEST(PeerStoreTest, DeletingAKeyTakesItsSubtreeAndSparesSiblingsThatExtendItsName) {
    // g1's subtree spans many records, so a store's range delete crosses pages of its own.
    for (const char* path : {"g1", "g10", "g1-", "g10\\kept"}) {
        this->Append(path);
    }
    const vell::VariableData value("a value of some length");
    for (int i = 0; i < 300; ++i) {
        const std::string child = Numbered("g1\\c", i);
        this->Append(child);
        typename TypeParam::Key key;
        ASSERT_TRUE(this->store_.Open("m", child, key));
        ASSERT_TRUE(this->store_.AppendProperty(key, "p", value));
    }
    for (const char* path : {"g1", "g10", "g1-"}) {
        typename TypeParam::Key key;
        ASSERT_TRUE(this->store_.Open("m", path, key));
        ASSERT_TRUE(this->store_.AppendProperty(key, "own", value));
    }

    typename TypeParam::Key g1;
    ASSERT_TRUE(this->store_.Open("m", "g1", g1));
    ASSERT_TRUE(this->store_.DeleteKey(g1));
    EXPECT_FALSE(this->Exists("g1"));
    EXPECT_FALSE(this->Exists("g1\\c7"));
    EXPECT_EQ(this->List("").children, (std::vector<std::string>{"g1-", "g10"}));
    EXPECT_EQ(this->List("g10").children, (std::vector<std::string>{"kept"}));
    EXPECT_EQ(this->List("g10").properties, 1u);
    EXPECT_EQ(this->List("g1-").properties, 1u);

    // A key appended again under the old name starts empty.
    this->Append("g1");
    const KeyListing again = this->List("g1");
    EXPECT_TRUE(again.children.empty());
    EXPECT_EQ(again.properties, 0u);
}

TYPED_TEST(PeerStoreTest, RefusesDuplicatesAndMissingTargets) {
    this->Append("k");
    typename TypeParam::Key k;
    ASSERT_TRUE(this->store_.Open("m", "k", k));
    const vell::VariableData value(7);
    vell::VariableData read;
    EXPECT_FALSE(this->store_.CreateMainKey("m"));
    EXPECT_FALSE(this->store_.AppendKey(this->main_, "k", nullptr));
    EXPECT_FALSE(this->store_.EditProperty(k, "p", value));
    EXPECT_FALSE(this->store_.ReadProperty(k, "p", read));
    ASSERT_TRUE(this->store_.AppendProperty(k, "p", value));
    EXPECT_FALSE(this->store_.AppendProperty(k, "p", value));
    EXPECT_FALSE(this->Exists("k\\missing"));
    EXPECT_FALSE(this->Exists("missing\\k"));
    typename TypeParam::Key other_main;
    EXPECT_FALSE(this->store_.Open("other", "", other_main));
}

TYPED_TEST(PeerStoreTest, ValuesOfEveryKindReadBackAsWrittenAndAfterAnEdit) {
    this->Append("k");
    typename TypeParam::Key k;
    ASSERT_TRUE(this->store_.Open("m", "k", k));
    const unsigned char block[] = {0, 1, 2, 0xff};
    const std::vector<vell::VariableData> values = {
        vell::VariableData(-5),       vell::VariableData("text"),
        vell::VariableData(2.5),      vell::VariableData(int64_t{1} << 40),
        vell::VariableData(block, 4), vell::VariableData(short{-3}),
        vell::VariableData(1.5f)};
    for (size_t i = 0; i < values.size(); ++i) {
        ASSERT_TRUE(this->store_.AppendProperty(k, Numbered("p", i), values[i]));
    }
    for (size_t i = 0; i < values.size(); ++i) {
        vell::VariableData read;
        ASSERT_TRUE(this->store_.ReadProperty(k, Numbered("p", i), read));
        EXPECT_TRUE(read == values[i]) << "property " << i;
    }
    const vell::VariableData edited("another text");
    ASSERT_TRUE(this->store_.EditProperty(k, "p1", edited));
    vell::VariableData read;
    ASSERT_TRUE(this->store_.ReadProperty(k, "p1", read));
    EXPECT_STREQ(read.GetString(), "another text");
    EXPECT_EQ(this->List("k").properties, values.size());
}

}  // namespace
}  // namespace peer
