#include "keys/common_tree.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "brindle.h"
#include "key_test_util.h"
#include "keys/key_operations.h"
#include "keys/open_key.h"
#include "vell/endian.h"
#include "vell/output.h"

namespace brindle {
namespace {

using testing_keys::TestTree;

// Names listed by GetAllMainKeys, checking the block's header on the way.
std::vector<std::string> ListedMainKeys(CommonTree& tree) {
    vell::MemCache buffer(4);  // too small on purpose: the call must grow it
    uint32_t length = 0;
    uint32_t count = 0;
    EXPECT_EQ(tree.GetAllMainKeys(buffer, length, count), BRN_OK);
    EXPECT_EQ(vell::LoadU32(buffer.Data()), length);
    EXPECT_EQ(vell::LoadU32(buffer.Data() + 4), count);
    std::vector<std::string> names;
    const char* at = reinterpret_cast<const char*>(buffer.Data() + 8);
    for (uint32_t i = 0; i < count; ++i) {
        names.emplace_back(at);
        at += names.back().size() + 1;
    }
    EXPECT_EQ(at, reinterpret_cast<const char*>(buffer.Data() + length));
    return names;
}

int Create(CommonTree& tree, const std::string& name, uint32_t mode = MODE_CREATE) {
    MainKeyInfo* record = nullptr;
    uint64_t node = 0;
    return OpenKey(tree, name, "", record, node, mode);
}

TEST(CommonTreeTest, MainKeysAreListedInByteOrderAndKeepTheirFlagsAcrossReopen) {
    TestTree db;
    db.Reopen();
    EXPECT_TRUE(ListedMainKeys(*db.tree).empty());

    for (const char* name : {"b", "a", "B"}) {
        ASSERT_EQ(Create(*db.tree, name), BRN_OK);
    }
    ASSERT_EQ(Create(*db.tree, "hidden", MODE_CREATE | MODE_HIDDEN), BRN_OK);
    ASSERT_EQ(Create(*db.tree, "locked", MODE_CREATE | MODE_READONLY), BRN_OK);
    const std::vector<std::string> visible = {"B", "a", "b", "locked"};
    EXPECT_EQ(ListedMainKeys(*db.tree), visible);

    db.Reopen();
    EXPECT_EQ(ListedMainKeys(*db.tree), visible);
    ASSERT_NE(db.tree->FindMainKey("hidden"), nullptr);
    EXPECT_TRUE(db.tree->FindMainKey("hidden")->Hidden());
    EXPECT_TRUE(db.tree->FindMainKey("locked")->ReadOnly());
    EXPECT_FALSE(db.tree->FindMainKey("a")->ReadOnly());
    EXPECT_EQ(db.tree->FindMainKey("A"), nullptr);  // names are case-sensitive

    db.config.listHiddenMainKeys = true;
    db.config.ignoreReadOnly = true;
    db.Reopen();
    EXPECT_EQ(ListedMainKeys(*db.tree),
              (std::vector<std::string>{"B", "a", "b", "hidden", "locked"}));
    EXPECT_FALSE(db.tree->FindMainKey("locked")->ReadOnly());
    EXPECT_EQ(db.Problems(), "");
}

TEST(CommonTreeTest, OpenFailsWithoutUsablePoolAndLogsWhy) {
    CommonTree tree;
    EXPECT_FALSE(tree.Open(nullptr));

    // The daily log lives under the installation path, named by the registry stand-in.
    testsupport::TempDir dir;
    const std::string registry = dir.File("registry");
    std::ofstream(registry) << "InstallPath=" << dir.path().string() << "\n";
    setenv("VELMORA_REGISTRY", registry.c_str(), 1);
    ConfigRecord config;
    config.dataPath = dir.File("missing/db");
    vell::OutputCapture capture;  // the pool's own diagnostics
    CommonTree unopenable;
    EXPECT_FALSE(unopenable.Open(&config));
    unsetenv("VELMORA_REGISTRY");
    EXPECT_EQ(unopenable.Config(), nullptr);
    EXPECT_EQ(unopenable.Root(), 0u);
    MainKeyInfo* record = nullptr;
    uint64_t node = 0;
    EXPECT_EQ(OpenKey(unopenable, "a", "", record, node, MODE_CREATE), BRN_ERR_NO_ROOT);

    std::string logged;
    for (auto& entry : std::filesystem::directory_iterator(dir.path() / "log")) {
        std::ifstream file(entry.path());
        logged.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    EXPECT_NE(logged.find("\tInit CommonTree pool failed\n"), std::string::npos) << logged;
}

TEST(CommonTreeTest, MainKeyChangesFollowTheConfiguration) {
    TestTree db;
    db.Reopen();
    ASSERT_EQ(Create(*db.tree, "a"), BRN_OK);
    MainKeyInfo* record = nullptr;
    uint64_t node = 0;

    EXPECT_EQ(Create(*db.tree, "ZRDM_SYSTEMNKEY"), BRN_ERR_RESERVED_MAIN_KEY);
    EXPECT_EQ(OpenKey(*db.tree, "a", "", record, node, MODE_DELETE),
              BRN_ERR_MAIN_KEY_DELETE_DENIED);

    db.config.allowMainKeyChange = false;
    EXPECT_EQ(Create(*db.tree, "c"), BRN_ERR_MAIN_KEY_CHANGE_DENIED);
    EXPECT_EQ(OpenKey(*db.tree, "a", "z", record, node, MODE_RENAME),
              BRN_ERR_MAIN_KEY_CHANGE_DENIED);

    db.config.allowMainKeyChange = true;
    db.config.allowSystemMainKey = true;
    EXPECT_EQ(Create(*db.tree, "ZRDM_SYSTEMNKEY"), BRN_OK);
    db.config.allowSystemMainKey = false;
    EXPECT_EQ(OpenKey(*db.tree, "ZRDM_SYSTEMNKEY", "s", record, node, MODE_RENAME),
              BRN_ERR_RESERVED_MAIN_KEY);
    EXPECT_EQ(ListedMainKeys(*db.tree), (std::vector<std::string>{"ZRDM_SYSTEMNKEY", "a"}));
}

TEST(CommonTreeTest, RenamedMainKeyMovesInTheTableAndOnDisk) {
    TestTree db;
    db.Reopen();
    ASSERT_EQ(Create(*db.tree, "a"), BRN_OK);
    ASSERT_EQ(Create(*db.tree, "b"), BRN_OK);
    MainKeyInfo* a = db.tree->FindMainKey("a");
    MainKeyInfo* b = db.tree->FindMainKey("b");

    MainKeyInfo* record = nullptr;
    uint64_t node = 0;
    ASSERT_EQ(OpenKey(*db.tree, "a", "z", record, node, MODE_RENAME), BRN_OK);
    EXPECT_EQ(record, a);
    EXPECT_EQ(node, 0u);  // a rename leaves no node behind
    EXPECT_EQ(db.tree->FindMainKey("a"), nullptr);
    EXPECT_EQ(db.tree->FindMainKey("z"), a);
    EXPECT_EQ(a->name, "z");
    EXPECT_EQ(OpenKey(*db.tree, "z", "", record, node, MODE_RENAME), BRN_ERR_EMPTY_NAME);

    // Renaming onto an existing name takes over its table entry; the other record stays
    // alive for the handles that point to it.
    ASSERT_EQ(OpenKey(*db.tree, "z", "b", record, node, MODE_RENAME), BRN_OK);
    EXPECT_EQ(db.tree->FindMainKey("b"), a);
    EXPECT_FALSE(b->Dropped());
    EXPECT_EQ(ListedMainKeys(*db.tree), (std::vector<std::string>{"b"}));
    EXPECT_EQ(db.Problems(), "");

    const uint64_t later_node = b->node;
    db.Reopen();  // both nodes are named b now; the later child of the root wins the table
    EXPECT_EQ(ListedMainKeys(*db.tree), (std::vector<std::string>{"b"}));
    EXPECT_EQ(db.tree->FindMainKey("b")->node, later_node);
}

TEST(CommonTreeTest, DeletedMainKeyLeavesItsHandlesSafe) {
    TestTree db;
    db.config.denyMainKeyDelete = false;
    db.Reopen();
    for (const char* name : {"a", "b", "c"}) {
        ASSERT_EQ(Create(*db.tree, name), BRN_OK);
    }
    MainKeyInfo* b = db.tree->FindMainKey("b");
    std::string child = "kid";
    ASSERT_EQ(KeyOperations(*db.tree, b, b->node).AppendSubKey(child), BRN_OK);
    MainKeyInfo* record = nullptr;
    uint64_t kid = 0;
    ASSERT_EQ(OpenKey(*db.tree, "b", "kid", record, kid, MODE_OPEN), BRN_OK);

    MainKeyInfo* out = nullptr;
    uint64_t node = 0;
    ASSERT_EQ(OpenKey(*db.tree, "b", "", out, node, MODE_DELETE), BRN_OK);
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(b->Dropped());
    EXPECT_EQ(db.tree->FindMainKey("b"), nullptr);
    EXPECT_EQ(ListedMainKeys(*db.tree), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(db.Problems(), "");

    // A handle opened before the deletion refuses work instead of touching freed pages.
    KeyOperations stale(*db.tree, b, kid);
    std::string name = "x";
    EXPECT_EQ(stale.AppendSubKey(name), BRN_ERR_BAD_NODE);
    EXPECT_EQ(stale.DeleteProperty("p"), BRN_ERR_BAD_NODE);
    EXPECT_EQ(stale.DeleteKey(), BRN_ERR_BAD_NODE);
    EXPECT_EQ(KeyOperations(*db.tree, b, b->node).DeleteKey(), BRN_ERR_BAD_NODE);

    // Deleting a main key through a handle on its own node drops it from the table too.
    MainKeyInfo* c = db.tree->FindMainKey("c");
    EXPECT_EQ(KeyOperations(*db.tree, c, c->node).DeleteKey(), BRN_OK);
    EXPECT_EQ(ListedMainKeys(*db.tree), (std::vector<std::string>{"a"}));
    EXPECT_EQ(db.Problems(), "");
    db.Reopen();
    EXPECT_EQ(ListedMainKeys(*db.tree), (std::vector<std::string>{"a"}));
}

}  // namespace
}  // namespace brindle
