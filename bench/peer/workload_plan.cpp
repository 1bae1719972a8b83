#include "peer/workload_plan.h"

#include <array>
#include <numeric>
#include <random>

namespace peer {

namespace {

// The engine's output is fixed by the standard, and the reductions below are ours, so a seed
// gives the same plan with every standard library.
class Random {
public:
    explicit Random(uint64_t seed) : engine_(seed) {}

    uint32_t Below(uint64_t bound) { return static_cast<uint32_t>(engine_() % bound); }
    int64_t Any() { return static_cast<int64_t>(engine_()); }
    double Fraction() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

    std::string Text(size_t min_length, size_t max_length) {
        static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789-_.";
        std::string text(min_length + Below(max_length - min_length + 1), ' ');
        for (char& letter : text) {
            letter = kLetters[Below(sizeof(kLetters) - 1)];
        }
        return text;
    }

    template <class T>
    void Shuffle(std::vector<T>& items) {
        for (size_t i = items.size(); i > 1; --i) {
            std::swap(items[i - 1], items[Below(i)]);
        }
    }

private:
    std::mt19937_64 engine_;
};

// Property i of every key has the same type: a 32-bit number, a short text, a double, a
// 64-bit number and a 32-byte block.
vell::VariableData RandomValue(uint32_t property, Random& random) {
    switch (property) {
        case 0:
            return vell::VariableData(static_cast<int>(random.Below(1u << 31)));
        case 1:
            return vell::VariableData(random.Text(8, 24).c_str());
        case 2:
            return vell::VariableData(random.Fraction() * 1000.0);
        case 3:
            return vell::VariableData(random.Any());
        default: {
            std::array<unsigned char, 32> block;
            for (unsigned char& byte : block) {
                byte = static_cast<unsigned char>(random.Below(256));
            }
            return vell::VariableData(block.data(), static_cast<int>(block.size()));
        }
    }
}

void AddSubtree(WorkloadPlan& plan, const PlanSizes& sizes, int parent, int depth) {
    static constexpr const char* kLevelNames[] = {"group", "section", "leaf", "item"};
    for (int i = 0; i < sizes.fanout; ++i) {
        PlannedKey key;
        key.parent = parent;
        key.depth = depth;
        key.name = kLevelNames[depth < 3 ? depth : 3] + std::to_string(i);
        key.path = parent < 0 ? key.name : plan.keys[parent].path + "\\" + key.name;
        plan.keys.push_back(std::move(key));
        if (depth + 1 < sizes.depth) {
            AddSubtree(plan, sizes, static_cast<int>(plan.keys.size()) - 1, depth + 1);
        }
    }
}

std::vector<PropertyPick> RandomPicks(const WorkloadPlan& plan, int count, Random& random) {
    std::vector<PropertyPick> picks(count);
    for (PropertyPick& pick : picks) {
        pick.key = random.Below(plan.keys.size());
        pick.property = random.Below(plan.property_names.size());
    }
    return picks;
}

// Children are named by a shuffled numbering, so that they arrive in no sorted order.
WideKeyPlan MakeWideKey(int children, Random& random) {
    WideKeyPlan wide;
    wide.name = "children" + std::to_string(children);
    std::vector<uint32_t> numbers(children);
    std::iota(numbers.begin(), numbers.end(), 0u);
    random.Shuffle(numbers);
    wide.children.reserve(children);
    for (uint32_t number : numbers) {
        wide.children.push_back("child" + std::to_string(number));
    }
    wide.open_order.resize(children);
    std::iota(wide.open_order.begin(), wide.open_order.end(), 0u);
    random.Shuffle(wide.open_order);
    return wide;
}

}  // namespace

WorkloadPlan MakePlan(const PlanSizes& sizes, uint64_t seed) {
    Random random(seed);
    WorkloadPlan plan;
    plan.property_names = {"count", "label", "ratio", "stamp", "digest"};
    AddSubtree(plan, sizes, -1, 0);
    plan.values.resize(plan.keys.size());
    for (auto& key_values : plan.values) {
        for (uint32_t property = 0; property < plan.property_names.size(); ++property) {
            key_values.push_back(RandomValue(property, random));
        }
    }
    plan.path_reads = RandomPicks(plan, sizes.path_reads, random);
    plan.handle_reads = RandomPicks(plan, sizes.handle_reads, random);
    for (const PropertyPick& pick : RandomPicks(plan, sizes.edits, random)) {
        plan.edits.push_back({pick, RandomValue(pick.property, random)});
    }
    for (uint32_t i = 0; i < plan.keys.size(); ++i) {
        if (plan.keys[i].parent < 0) {
            plan.delete_order.push_back(i);
        }
    }
    random.Shuffle(plan.delete_order);
    for (int children : sizes.wide_children) {
        plan.wide_keys.push_back(MakeWideKey(children, random));
    }
    return plan;
}

}  // namespace peer
