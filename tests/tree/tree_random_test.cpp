#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>

#include "pool/write_transaction.h"
#include "tree_test_util.h"

namespace brindle {
namespace {

using testing_tree::OpenTree;
using testing_tree::Property;
using testing_tree::Read;

// What the tree should hold, kept beside it.
struct ModelNode {
    std::string name;
    uint64_t parent = 0;
    std::vector<uint64_t> children;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> properties;
};

class Model {
public:
    std::map<uint64_t, ModelNode> nodes;

    void Remove(uint64_t node) {
        for (uint64_t child : std::vector<uint64_t>(nodes[node].children)) {
            Remove(child);
        }
        auto& siblings = nodes[nodes[node].parent].children;
        siblings.erase(std::find(siblings.begin(), siblings.end(), node));
        nodes.erase(node);
    }
    // The first child of that name in stored order, or 0.
    uint64_t FindChild(uint64_t node, const std::string& name) {
        for (uint64_t child : nodes[node].children) {
            if (nodes[child].name == name) {
                return child;
            }
        }
        return 0;
    }
    auto FindProperty(uint64_t node, const std::string& name) {
        auto& list = nodes[node].properties;
        return std::find_if(list.begin(), list.end(), [&](auto& p) { return p.first == name; });
    }
};

void ExpectSame(TreeStore& tree, Model& model) {
    for (auto& [node, expected] : model.nodes) {
        std::string name;
        ASSERT_EQ(tree.GetNodeName(node, name), Status::kOk);
        EXPECT_EQ(name, expected.name);
        std::vector<std::pair<uint64_t, std::string>> children;
        tree.GetSubNodes(node, children);
        ASSERT_EQ(children.size(), expected.children.size()) << "node " << node;
        for (size_t i = 0; i < children.size(); ++i) {
            EXPECT_EQ(children[i].first, expected.children[i]);
        }
        vell::MemCache buffer;
        uint32_t total = 0;
        ASSERT_EQ(tree.GetNodeAllRecords(node, buffer, total, TreeStore::RecordsForm::kExport8),
                  Status::kOk);
        ASSERT_EQ(vell::LoadU32(buffer.Data() + 4), expected.properties.size());
        uint32_t at = 8;
        for (auto& property : expected.properties) {
            uint32_t length = vell::LoadU32(buffer.Data() + at);
            std::vector<uint8_t> data(buffer.Data() + at + 4, buffer.Data() + at + 4 + length);
            EXPECT_EQ(data, property.second) << "node " << node << " " << property.first;
            at += 4 + length;
        }
    }
}

// The node's children listed as the model has them. A listing of many children is kept by
// the index, for later steps to keep in step.
void ExpectChildren(TreeStore& tree, Model& model, uint64_t node) {
    std::vector<std::pair<uint64_t, std::string>> children;
    ASSERT_TRUE(tree.GetSubNodes(node, children));
    ASSERT_EQ(children.size(), model.nodes[node].children.size()) << "node " << node;
    for (size_t i = 0; i < children.size(); ++i) {
        EXPECT_EQ(children[i].first, model.nodes[node].children[i]) << "node " << node;
        EXPECT_EQ(children[i].second, model.nodes[children[i].first].name) << "node " << node;
    }
}

// Lookups and reads by name through the indexes agree with the model, and every index held
// (with the records it holds) agrees with the pages.
void ExpectLookups(TreeStore& tree, Model& model, uint64_t node, const std::string& name) {
    uint64_t child = 0;
    bool found = tree.GetSubNodeIndex(node, name, child);
    uint64_t expected = model.FindChild(node, name);
    EXPECT_EQ(found ? child : 0, expected) << "child " << name << " of " << node;
    ExpectChildren(tree, model, node);
    for (int k = 0; k < 12; ++k) {
        std::string property = "p" + std::to_string(k);
        RecordPos position;
        bool has = tree.FindNodeProperty(node, property, position);
        auto expected_property = model.FindProperty(node, property);
        const bool expected_has = expected_property != model.nodes[node].properties.end();
        EXPECT_EQ(has, expected_has) << property << " of " << node;
        // Reads by name keep copies of the records they read in the index, which the
        // changes of later steps must drop or keep right (CheckIndexes compares them).
        EXPECT_EQ(Read(tree, node, property),
                  expected_has ? expected_property->second : std::vector<uint8_t>())
            << property << " of " << node;
    }
    std::vector<std::string> problems = tree.CheckIndexes();
    EXPECT_TRUE(problems.empty()) << problems.front();
}

// A seeded random run of node and property operations, each a write transaction of which
// some are rolled back, checked against the model, the verifier and the indexes after every
// step, then again after reopening the pool.
TEST(TreeRandomTest, ThousandsOfOperationsAgreeWithAModel) {
    testsupport::TempDir dir;
    std::string path = dir.File("db");
    Model model;
    std::mt19937 random(20261205);
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    {
        OpenTree db(path);
        ASSERT_TRUE(db.ok);
        TreeStore& tree = *db.tree;
        const uint64_t root = tree.RootPage();
        model.nodes[root].name = "ZRCONFIG -- ROOT";
        // A node of many children, whose listing the index keeps (and must keep right).
        uint64_t wide = 0;
        for (int i = -1; i < 80; ++i) {
            const uint64_t parent = i < 0 ? root : wide;
            const std::string child_name = i < 0 ? "wide" : "w" + std::to_string(i);
            uint64_t child = 0;
            WriteTransaction transaction(db.pool.get());
            ASSERT_TRUE(tree.AppendSubNode(parent, child, child_name));
            transaction.Commit();
            model.nodes[child].name = child_name;
            model.nodes[child].parent = parent;
            model.nodes[parent].children.push_back(child);
            wide = i < 0 ? child : wide;
        }
        for (int step = 0; step < 2500; ++step) {
            std::vector<uint64_t> ids;
            for (auto& entry : model.nodes) {
                ids.push_back(entry.first);
            }
            uint64_t node = ids[pick(ids.size())];
            int action = static_cast<int>(pick(10));
            const bool roll_back = pick(8) == 0;
            const Model before = roll_back ? model : Model();
            std::optional<WriteTransaction> transaction(std::in_place, db.pool.get());
            std::string name = "k" + std::to_string(pick(40));
            if (pick(50) == 0) {
                name += std::string(pick(1200), 'x');  // now and then a name that runs on
            }
            if (action <= 2) {
                uint64_t child = 0;
                ASSERT_TRUE(tree.AppendSubNode(node, child, name));
                model.nodes[child].name = name;
                model.nodes[child].parent = node;
                model.nodes[node].children.push_back(child);
            } else if (action == 3 && node != root && pick(3) == 0) {
                ASSERT_EQ(tree.DeleteNode(node), Status::kOk);
                model.Remove(node);
            } else if (action == 4) {
                ASSERT_EQ(tree.EditNodeName(node, name), Status::kOk);
                model.nodes[node].name = name;
            } else if (action <= 7) {
                std::string property = "p" + std::to_string(pick(12));
                size_t size = pick(4) == 0 ? pick(3000) : pick(60);
                auto data = Property(property, size, static_cast<uint8_t>(step));
                auto found = model.FindProperty(node, property);
                if (found == model.nodes[node].properties.end()) {
                    ASSERT_TRUE(tree.AppendNodeRecord(node, data.data(),
                                                      static_cast<uint32_t>(data.size())));
                    model.nodes[node].properties.emplace_back(property, data);
                } else {
                    ASSERT_EQ(tree.ReplaceNodeProperty(node, property, data.data(),
                                                       static_cast<uint32_t>(data.size())),
                              Status::kOk);
                    found->second = data;
                }
            } else {
                auto& list = model.nodes[node].properties;
                if (!list.empty()) {
                    auto victim = list.begin() + static_cast<long>(pick(list.size()));
                    ASSERT_EQ(tree.DeleteNodePropertyByName(node, victim->first), Status::kOk);
                    list.erase(victim);
                }
            }
            if (roll_back) {
                transaction.reset();  // rolls the step back
                model = before;
            } else {
                transaction->Commit();
            }
            if (model.nodes.count(wide) != 0) {
                uint64_t unused = 0;
                tree.GetSubNodeIndex(wide, "w0", unused);  // its index, to keep the listing in
                ExpectChildren(tree, model, wide);
            }
            if (model.nodes.count(node) != 0) {
                ExpectLookups(tree, model, node, name);
            }
            std::string problems = db.Problems();
            ASSERT_EQ(problems, "") << "after step " << step << " (action " << action << ")";
            if (step % 100 == 0) {
                ExpectSame(tree, model);
            }
        }
        ExpectSame(tree, model);
    }
    OpenTree reopened(path);
    ASSERT_TRUE(reopened.ok);
    ExpectSame(*reopened.tree, model);
    VerifyReport report = TreeVerifier::Verify(*reopened.pool);
    EXPECT_TRUE(report.Sound()) << report.Text();
    EXPECT_TRUE(report.leaks.empty()) << report.Text();
}

}  // namespace
}  // namespace brindle
