#include "keys/common_tree.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>
#include <vector>

#include "brindle.h"
#include "key_test_util.h"
#include "keys/key_operations.h"
#include "keys/open_key.h"
#include "support/temp_dir.h"
#include "support/whole_file.h"
#include "vell/date_time.h"
#include "vell/endian.h"
#include "vell/output.h"

namespace brindle {
namespace {

using Names = std::vector<std::string>;

// The shared database object, opened at once, with shortcuts for the main-key table.
struct TestTree : testing_keys::TestTree {
    TestTree() { Reopen(); }
    Status Open(const std::string& main_key, const std::string& path, uint32_t mode) {
        record = nullptr;
        node = 0;
        return OpenKey(*tree, main_key, path, record, node, mode);
    }
    MainKeyInfo* Main(const std::string& name) { return tree->FindMainKey(name); }
    // Names from GetAllMainKeys, through a buffer too small at first.
    Names Listed() {
        vell::MemCache buffer(4);
        uint32_t length = 0;
        uint32_t count = 0;
        EXPECT_EQ(tree->GetAllMainKeys(buffer, length, count), Status::kOk);
        EXPECT_EQ(vell::LoadU32(buffer.Data()), length);
        Names names;
        for (uint32_t at = 8; names.size() < count; at += names.back().size() + 1) {
            names.emplace_back(reinterpret_cast<const char*>(buffer.Data() + at));
        }
        return names;
    }

    // Main-key changes leave no page behind either: leaks count here too.
    std::string ProblemsAndLeaks() { return TreeVerifier::Verify(*tree->Pool()).Text(); }

    MainKeyInfo* record = nullptr;
    uint64_t node = 0;
};

TEST(CommonTreeTest, MainKeysAreListedInByteOrderAndKeepTheirFlagsAcrossReopen) {
    TestTree db;
    EXPECT_TRUE(db.Listed().empty());
    for (const char* name : {"b", "a", "B"}) {
        ASSERT_EQ(db.Open(name, "ignored", MODE_CREATE | MODE_OPEN), Status::kOk);
        EXPECT_EQ(db.node, db.Main(name)->node);  // create stands on the new node
    }
    ASSERT_EQ(db.Open("hidden", "", MODE_CREATE | MODE_HIDDEN), Status::kOk);
    ASSERT_EQ(db.Open("locked", "", MODE_CREATE | MODE_READONLY), Status::kOk);
    EXPECT_EQ(db.Listed(), (Names{"B", "a", "b", "locked"}));

    db.Reopen();
    EXPECT_EQ(db.Listed(), (Names{"B", "a", "b", "locked"}));
    EXPECT_TRUE(db.Main("hidden")->Hidden());
    EXPECT_TRUE(db.Main("locked")->ReadOnly());
    EXPECT_EQ(db.Main("A"), nullptr);

    db.config.listHiddenMainKeys = true;
    db.config.ignoreReadOnly = true;
    db.Reopen();
    EXPECT_EQ(db.Listed(), (Names{"B", "a", "b", "hidden", "locked"}));
    EXPECT_FALSE(db.Main("locked")->ReadOnly());
    EXPECT_EQ(db.ProblemsAndLeaks(), "");
}

TEST(CommonTreeTest, MainKeyChangesFollowTheConfiguration) {
    TestTree db;
    ASSERT_EQ(db.Open("a", "", MODE_CREATE), Status::kOk);
    EXPECT_EQ(db.Open("ZRDM_SYSTEMNKEY", "", MODE_CREATE), Status::kReservedMainKey);
    EXPECT_EQ(db.Open("a", "", MODE_DELETE), Status::kMainKeyDeleteDenied);
    db.config.allowMainKeyChange = false;
    EXPECT_EQ(db.Open("c", "", MODE_CREATE), Status::kMainKeyChangeDenied);
    EXPECT_EQ(db.Open("a", "z", MODE_RENAME), Status::kMainKeyChangeDenied);
    db.config.allowMainKeyChange = true;
    db.config.allowSystemMainKey = true;
    EXPECT_EQ(db.Open("ZRDM_SYSTEMNKEY", "", MODE_CREATE), Status::kOk);
    db.config.allowSystemMainKey = false;
    EXPECT_EQ(db.Open("ZRDM_SYSTEMNKEY", "s", MODE_RENAME), Status::kReservedMainKey);
    EXPECT_EQ(db.Listed(), (Names{"ZRDM_SYSTEMNKEY", "a"}));
}

TEST(CommonTreeTest, RenameMovesTheTableEntryAndMayTakeOverAnother) {
    TestTree db;
    ASSERT_EQ(db.Open("a", "", MODE_CREATE), Status::kOk);
    ASSERT_EQ(db.Open("b", "", MODE_CREATE), Status::kOk);
    MainKeyInfo* a = db.Main("a");
    MainKeyInfo* b = db.Main("b");
    ASSERT_EQ(db.Open("a", "z", MODE_RENAME | MODE_DELETE | MODE_OPEN),
              Status::kOk);  // rename wins
    EXPECT_EQ(db.record, a);
    EXPECT_EQ(db.node, 0u);
    EXPECT_EQ(db.Listed(), (Names{"b", "z"}));
    EXPECT_EQ(db.Open("z", "", MODE_RENAME), Status::kEmptyName);
    // The new name is not compared with the others: it takes over b's entry, while b's
    // record stays alive for the handles that point to it.
    ASSERT_EQ(db.Open("z", "b", MODE_RENAME), Status::kOk);
    EXPECT_EQ(db.Main("b"), a);
    EXPECT_FALSE(b->Dropped());
    EXPECT_EQ(db.ProblemsAndLeaks(), "");
}

TEST(CommonTreeTest, DeletedMainKeyLeavesItsHandlesSafe) {
    TestTree db;
    db.config.denyMainKeyDelete = false;
    for (const char* name : {"a", "b", "c"}) {
        ASSERT_EQ(db.Open(name, "", MODE_CREATE), Status::kOk);
    }
    MainKeyInfo* b = db.Main("b");
    std::string kid = "kid";
    ASSERT_EQ(KeyOperations(*db.tree, b, b->node).AppendSubKey(kid), Status::kOk);
    ASSERT_EQ(db.Open("b", "kid", MODE_OPEN), Status::kOk);
    KeyOperations stale(*db.tree, b, db.node);

    ASSERT_EQ(db.Open("b", "", MODE_DELETE), Status::kOk);
    EXPECT_EQ(db.record, nullptr);
    EXPECT_TRUE(b->Dropped());
    EXPECT_EQ(db.Listed(), (Names{"a", "c"}));
    EXPECT_EQ(db.ProblemsAndLeaks(), "");
    // Handles opened before refuse work instead of touching freed pages.
    std::string name = "x";
    EXPECT_EQ(stale.AppendSubKey(name), Status::kBadNode);
    EXPECT_EQ(stale.DeleteProperty("p"), Status::kBadNode);
    EXPECT_EQ(KeyOperations(*db.tree, b, b->node).DeleteKey(), Status::kBadNode);

    // Through a handle on its own node a main key leaves the table too.
    MainKeyInfo* c = db.Main("c");
    EXPECT_EQ(KeyOperations(*db.tree, c, c->node).DeleteKey(), Status::kOk);
    EXPECT_EQ(db.Listed(), (Names{"a"}));
    db.Reopen();
    EXPECT_EQ(db.Listed(), (Names{"a"}));
    EXPECT_EQ(db.ProblemsAndLeaks(), "");
}

TEST(CommonTreeTest, PathsResolveLevelByLevel) {
    TestTree db;
    ASSERT_EQ(db.Open("m", "", MODE_CREATE), Status::kOk);
    MainKeyInfo* m = db.Main("m");
    auto child = [&](uint64_t parent, std::string name) {
        EXPECT_EQ(KeyOperations(*db.tree, m, parent).AppendSubKey(name), Status::kOk);
        uint64_t node = 0;
        EXPECT_TRUE(db.tree->Tree()->GetSubNodeIndex(parent, name, node));
        return node;
    };
    const uint64_t a = child(m->node, "a");
    const uint64_t b = child(a, "b");
    const uint64_t slash_a = child(m->node, "\\a");
    const uint64_t literal = child(m->node, "a\\b");
    const uint64_t x1 = child(child(m->node, "x"), "x.1");
    const uint64_t x12 = child(x1, "x.1.2");
    std::string generated;  // below x.1 a generated name continues its dotted name
    ASSERT_EQ(KeyOperations(*db.tree, m, x1).AppendSubKey(generated), Status::kOk);
    EXPECT_EQ(generated, "x.1.1");

    struct Case {
        const char* path;
        uint32_t mode;
        uint64_t node;  // 0: not found (14)
    };
    const Case cases[] = {
        {"", MODE_OPEN, m->node},
        {"a\\b", MODE_OPEN, b},
        {"a\\b\\", MODE_OPEN, 0},  // an empty last level
        {"a\\\\b", MODE_OPEN, 0},  // an empty middle level
        {"\\a", MODE_OPEN, slash_a},
        {"A", MODE_OPEN, 0},
        {"a\\b", MODE_OPEN | MODE_CHILD, literal},
        {"x.1.2", MODE_OPEN | MODE_DOTTED, x12},
        {"x.1.2", MODE_OPEN, 0},
        {"x\\x.1\\x.1.2", MODE_OPEN, x12},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(db.Open("m", c.path, c.mode), c.node != 0 ? Status::kOk : Status::kKeyNotFound)
            << c.path;
        EXPECT_EQ(db.node, c.node) << c.path;
    }
    EXPECT_EQ(db.Open("m", "", MODE_CHILD | MODE_DOTTED), Status::kNoOperation);
    EXPECT_EQ(db.Open("none", "", MODE_OPEN | MODE_DELETE), Status::kMainKeyNotFound);
    EXPECT_EQ(db.Open("m", "", MODE_CREATE | MODE_OPEN), Status::kKeyExists);
}

TEST(CommonTreeTest, OpenFailsWithoutUsablePoolAndLogsWhy) {
    testsupport::TempDir dir;  // the daily log lives under the installation path
    const std::string registry = dir.File("registry");
    std::ofstream(registry) << "InstallPath=" << dir.path().string() << "\n";
    setenv("VELMORA_REGISTRY", registry.c_str(), 1);
    ConfigRecord config;
    config.dataPath = dir.File("missing/db");
    vell::OutputCapture quiet;
    CommonTree unopenable;
    EXPECT_FALSE(unopenable.Open(&config));
    unsetenv("VELMORA_REGISTRY");
    EXPECT_EQ(unopenable.Config(), nullptr);

    const vell::DateTime now = vell::DateTime::Now();  // one file a day, named by its date
    const std::string log = dir.path().string() + "/log/" + std::to_string(now.Year()) + "-" +
                            std::to_string(now.Month()) + "-" + std::to_string(now.Day()) +
                            "-zrdm.log";
    const std::string logged = testsupport::ReadWholeFile(log);
    EXPECT_NE(logged.find("\tInit CommonTree pool failed\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace brindle
