#pragma once

// The seeded work every store of the peer benchmark runs: the same keys, values, and random
// picks, generated once per run so that the stores differ only in how they do the work.

#include <cstdint>
#include <string>
#include <vector>

#include "vell/variable_data.h"

namespace peer {

// How much work a run does.
struct PlanSizes {
    int fanout = 20;  // children per key in the balanced tree
    int depth = 3;    // levels below the main key: 20 + 400 + 8,000 = 8,420 keys
    int path_reads = 200000;
    int handle_reads = 200000;
    int edits = 50000;
    std::vector<int> wide_children = {1000, 10000, 100000};

    static PlanSizes Full() { return {}; }
    static PlanSizes Quick() { return {4, 3, 2000, 2000, 500, {100, 1000}}; }
};

constexpr int kPropertiesPerKey = 5;

// A key of the balanced tree. Keys are listed in build order: depth first, each parent
// before its children.
struct PlannedKey {
    int parent = -1;  // index of the parent key, -1 below the main key
    int depth = 0;    // 0 for a child of the main key
    std::string name;
    std::string path;  // below the main key, levels joined by a backslash
};

// One property of one key of the tree.
struct PropertyPick {
    uint32_t key = 0;
    uint32_t property = 0;
};

struct EditPick {
    PropertyPick target;
    vell::VariableData value;  // of the property's own type
};

// A key with many children: the children's names in append order and the order in which
// they are opened again.
struct WideKeyPlan {
    std::string name;
    std::vector<std::string> children;
    std::vector<uint32_t> open_order;
};

struct WorkloadPlan {
    std::string tree_main_key = "tree";
    std::string wide_main_key = "wide";
    std::vector<std::string> property_names;  // kPropertiesPerKey of them
    std::vector<PlannedKey> keys;
    std::vector<std::vector<vell::VariableData>> values;  // per key, per property
    std::vector<PropertyPick> path_reads;
    std::vector<PropertyPick> handle_reads;
    std::vector<EditPick> edits;
    std::vector<uint32_t> delete_order;  // the keys below the main key, by index
    std::vector<WideKeyPlan> wide_keys;

    uint64_t PropertyCount() const { return keys.size() * property_names.size(); }
};

WorkloadPlan MakePlan(const PlanSizes& sizes, uint64_t seed);

}  // namespace peer
