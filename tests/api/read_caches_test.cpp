// The caches behind reads (records held by the name indexes, resolved paths) answer as the
// pages do after every kind of change: edits, renames, deletes, rollbacks, other opens.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "api_test_util.h"
#include "brindle.h"
#include "brindle_batch.h"

namespace brindle {
namespace {

using testing_api::Append;
using testing_api::TestDatabase;

// The int property `name` of `key`, or minus the result code.
int Read(void* key, const std::string& name) {
    vell::VariableData value;
    const int result = BRN_GetKeyProperty(key, name, value);
    return result == BRN_OK ? value.GetInt() : -result;
}

int Edit(void* key, const std::string& name, int value) {
    vell::VariableData data(value);
    return BRN_EditProperty(key, name, data);
}

// Makes the key at `path` (whose parent exists) below main key M, with `name` = `value`;
// its handle.
void* MakeKey(TestDatabase& db, const std::string& path, const std::string& name, int value) {
    const size_t last = path.rfind('\\');
    std::string child = last == std::string::npos ? path : path.substr(last + 1);
    void* parent = db.Key("M", last == std::string::npos ? "" : path.substr(0, last));
    EXPECT_EQ(BRN_AppendSubKey(parent, child), BRN_OK) << path;
    void* key = db.Key("M", path);
    EXPECT_EQ(Append(key, name, value), BRN_OK) << path;
    return key;
}

// The int property `name` of the key at `path`, opened by path, or minus the result code.
int ReadAt(TestDatabase& db, const std::string& path, const std::string& name) {
    void* key = nullptr;
    const int opened = db.OpenKey(key, "M", path);
    return opened == BRN_OK ? Read(key, name) : -opened;
}

TEST(ReadCachesTest, ReadsFollowEditsDeletesAndRollbacks) {
    TestDatabase db;
    void* key = db.Key("M", "", MODE_CREATE);
    ASSERT_EQ(Append(key, "p", 1), BRN_OK);
    ASSERT_EQ(Append(key, "q", 10), BRN_OK);
    EXPECT_EQ(Read(key, "p"), 1);  // now held
    ASSERT_EQ(Edit(key, "p", 2), BRN_OK);
    EXPECT_EQ(Read(key, "p"), 2);
    {
        Batch batch(db.file());
        ASSERT_EQ(Edit(key, "p", 3), BRN_OK);
        ASSERT_EQ(BRN_DeleteProperty(key, "q"), BRN_OK);
        EXPECT_EQ(Read(key, "p"), 3);
        EXPECT_EQ(Read(key, "q"), -BRN_ERR_PROPERTY_NOT_FOUND);
    }  // rolled back
    EXPECT_EQ(Read(key, "p"), 2);
    EXPECT_EQ(Read(key, "q"), 10);
    ASSERT_EQ(BRN_DeleteProperty(key, "p"), BRN_OK);
    EXPECT_EQ(Read(key, "p"), -BRN_ERR_PROPERTY_NOT_FOUND);
    ASSERT_EQ(Append(key, "p", 4), BRN_OK);
    EXPECT_EQ(Read(key, "p"), 4);
}

TEST(ReadCachesTest, PathsFollowRenamesDeletesAndRollbacks) {
    TestDatabase db;
    void* main = db.Key("M", "", MODE_CREATE);
    std::string b = "b", c = "c", d = "d";
    void* key_b = MakeKey(db, "b", "u", 0);
    MakeKey(db, "b\\c", "v", 1);
    EXPECT_EQ(ReadAt(db, "b\\c", "v"), 1);  // the path is held now

    ASSERT_EQ(BRN_RenameKeys(key_b, "x"), BRN_OK);
    EXPECT_EQ(ReadAt(db, "b\\c", "v"), -BRN_ERR_KEY_NOT_FOUND);
    EXPECT_EQ(ReadAt(db, "x\\c", "v"), 1);

    // Deleted and made again under the old names: the path names the new key.
    ASSERT_EQ(BRN_DeleteKey(key_b), BRN_OK);
    EXPECT_EQ(ReadAt(db, "x\\c", "v"), -BRN_ERR_KEY_NOT_FOUND);
    b = "x";
    ASSERT_EQ(BRN_AppendSubKey(main, b), BRN_OK);
    void* again = db.Key("M", "x");
    c = "c";
    ASSERT_EQ(BRN_AppendSubKey(again, c), BRN_OK);
    ASSERT_EQ(Append(db.Key("M", "x\\c"), "v", 2), BRN_OK);
    EXPECT_EQ(ReadAt(db, "x\\c", "v"), 2);

    {
        Batch batch(db.file());
        ASSERT_EQ(BRN_AppendSubKey(again, d), BRN_OK);
        ASSERT_EQ(Append(db.Key("M", "x\\d"), "v", 3), BRN_OK);
        EXPECT_EQ(ReadAt(db, "x\\d", "v"), 3);
    }  // rolled back: the key opened by path inside is gone
    EXPECT_EQ(ReadAt(db, "x\\d", "v"), -BRN_ERR_KEY_NOT_FOUND);
    EXPECT_EQ(ReadAt(db, "x\\c", "v"), 2);
}

// Whole paths of three levels, parents of two, dotted paths: each follows a rename in the middle.
TEST(ReadCachesTest, DeepAndDottedPathsFollowARenameInTheMiddle) {
    TestDatabase db;
    void* main = db.Key("M", "", MODE_CREATE);
    MakeKey(db, "a", "u", 0);
    void* key_b = MakeKey(db, "a\\b", "u", 0);
    MakeKey(db, "a\\b\\c", "v", 7);
    EXPECT_EQ(ReadAt(db, "a\\b\\c", "v"), 7);  // held whole, and its parent "a\\b"
    EXPECT_EQ(ReadAt(db, "a\\b\\c", "v"), 7);
    ASSERT_EQ(BRN_RenameKeys(key_b, "x"), BRN_OK);
    EXPECT_EQ(ReadAt(db, "a\\b\\c", "v"), -BRN_ERR_KEY_NOT_FOUND);
    EXPECT_EQ(ReadAt(db, "a\\x\\c", "v"), 7);

    // Unnamed sub keys are named by their dotted prefixes: "n", "n.1", "n.1.1".
    std::string n = "n", unnamed, deeper;
    ASSERT_EQ(BRN_AppendSubKey(main, n), BRN_OK);
    void* key_n = db.Key("M", "n");
    ASSERT_EQ(BRN_AppendSubKey(key_n, unnamed), BRN_OK);
    void* key_n1 = db.Key("M", "n.1", MODE_OPEN | MODE_DOTTED);
    ASSERT_EQ(BRN_AppendSubKey(key_n1, deeper), BRN_OK);
    void* leaf = db.Key("M", "n.1.1", MODE_OPEN | MODE_DOTTED);
    ASSERT_EQ(Append(leaf, "w", 8), BRN_OK);
    void* again = nullptr;
    EXPECT_EQ(db.OpenKey(again, "M", "n.1.1", MODE_OPEN | MODE_DOTTED), BRN_OK);
    EXPECT_EQ(Read(again, "w"), 8);
    ASSERT_EQ(BRN_RenameKeys(key_n1, "other"), BRN_OK);
    EXPECT_EQ(db.OpenKey(again, "M", "n.1.1", MODE_OPEN | MODE_DOTTED), BRN_ERR_KEY_NOT_FOUND);
}

// A read-only open beside the writer (two opens in one process meet as two processes do):
// its caches follow the writer's commits.
TEST(ReadCachesTest, AReadOnlyOpenFollowsTheWritersChanges) {
    TestDatabase db;
    void* main = db.Key("M", "", MODE_CREATE);
    std::string b = "b";
    ASSERT_EQ(BRN_AppendSubKey(main, b), BRN_OK);
    void* written = db.Key("M", "b");
    ASSERT_EQ(Append(written, "v", 1), BRN_OK);

    void* reader = nullptr;
    ASSERT_EQ(BRN_OpenFile(db.path().c_str(), reader, BRN_OPEN_READ_ONLY), BRN_OK);
    auto read_at = [&](const std::string& path) {
        void* key = nullptr;
        int result = BRN_OpenKey(reader, key, "M", path, MODE_OPEN);
        if (result == BRN_OK) {
            result = -Read(key, "v");
        }
        BRN_CloseBRNHandle(key);
        return -result;
    };
    EXPECT_EQ(read_at("b"), 1);
    ASSERT_EQ(Edit(written, "v", 2), BRN_OK);
    EXPECT_EQ(read_at("b"), 2);
    ASSERT_EQ(BRN_RenameKeys(written, "c"), BRN_OK);
    EXPECT_EQ(read_at("b"), -BRN_ERR_KEY_NOT_FOUND);
    EXPECT_EQ(read_at("c"), 2);
    BRN_CloseBRNFHandle(reader);
}

// A seeded run of random changes by a writer, each followed by reads of every property of
// every key by path, in the writer's open and in a read-only open beside it: both must read
// what a model holds, whatever their caches kept from earlier steps.
TEST(ReadCachesTest, RandomChangesReadTheSameInTheWriterAndBesideIt) {
    TestDatabase db;
    void* main = db.Key("M", "", MODE_CREATE);
    void* reader = nullptr;
    ASSERT_EQ(BRN_OpenFile(db.path().c_str(), reader, BRN_OPEN_READ_ONLY), BRN_OK);
    std::map<std::string, std::map<std::string, int>> model;  // key name -> properties
    std::mt19937 random(20261207);
    auto pick = [&](int n) { return static_cast<int>(random() % n); };
    auto read_at = [](void* file, const std::string& key_name, const std::string& name) {
        void* key = nullptr;
        int result = BRN_OpenKey(file, key, "M", key_name, MODE_OPEN);
        if (result == BRN_OK) {
            result = -Read(key, name);
        }
        BRN_CloseBRNHandle(key);
        return -result;
    };
    for (int step = 0; step < 600; ++step) {
        const std::string key_name = "k" + std::to_string(pick(6));
        const std::string name = "p" + std::to_string(pick(8));
        const bool exists = model.count(key_name) != 0;
        void* key = nullptr;
        if (exists) {
            ASSERT_EQ(db.OpenKey(key, "M", key_name), BRN_OK);
        }
        const int action = pick(10);
        if (!exists) {
            std::string made = key_name;
            ASSERT_EQ(BRN_AppendSubKey(main, made), BRN_OK);
            model[key_name];
        } else if (action == 0) {
            ASSERT_EQ(BRN_DeleteKey(key), BRN_OK);
            model.erase(key_name);
        } else if (action == 1) {
            const std::string renamed = "k" + std::to_string(pick(6));
            if (model.count(renamed) == 0) {
                ASSERT_EQ(BRN_RenameKeys(key, renamed), BRN_OK);
                model[renamed] = model[key_name];
                model.erase(key_name);
            }
        } else if (model[key_name].count(name) == 0) {
            ASSERT_EQ(Append(key, name, step), BRN_OK);
            model[key_name][name] = step;
        } else if (action <= 5) {
            ASSERT_EQ(Edit(key, name, step), BRN_OK);
            model[key_name][name] = step;
        } else {
            ASSERT_EQ(BRN_DeleteProperty(key, name), BRN_OK);
            model[key_name].erase(name);
        }
        for (int k = 0; k < 6; ++k) {
            const std::string seen = "k" + std::to_string(k);
            for (int p = 0; p < 8; ++p) {
                const std::string property = "p" + std::to_string(p);
                int expected = -BRN_ERR_KEY_NOT_FOUND;
                if (model.count(seen) != 0) {
                    auto found = model[seen].find(property);
                    expected =
                        found != model[seen].end() ? found->second : -BRN_ERR_PROPERTY_NOT_FOUND;
                }
                ASSERT_EQ(read_at(db.file(), seen, property), expected)
                    << "writer, step " << step << " " << seen << " " << property;
                ASSERT_EQ(read_at(reader, seen, property), expected)
                    << "read-only, step " << step << " " << seen << " " << property;
            }
        }
    }
    BRN_CloseBRNFHandle(reader);
}

}  // namespace
}  // namespace brindle
