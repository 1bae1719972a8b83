#pragma once

// A writer's work as a deterministic plan of steps, so that another process can compute the
// state of the database after any number of steps and check what it reads against it.
//
// The database has the main key "S" with a few top keys t0, t1, ... Each step is one call or
// one batch on one top key, with the step number k in what it writes. A batch keeps several
// properties in agreement (a == k, b == "b<k>", and a multi-page value naming k; a count of
// children beside the children), which a reader sees whole only if it never sees part of a
// batch. The top keys are never deleted, so a reader may keep handles on them.

#include <cstdint>
#include <list>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "brindle.h"
#include "support/change_call.h"
#include "support/stored_form.h"

namespace brindle::sharing {

inline constexpr const char* kSnapshotMainKey = "S";
inline constexpr int kTopKeys = 3;

inline std::string TopKey(int index) {
    return "t" + std::to_string(index);
}

// One top key as one call reads it: properties (name, stored form) in stored order, and the
// children's names in stored order.
struct KeyState {
    std::vector<std::pair<std::string, std::string>> properties;
    std::vector<std::string> children;
    bool operator==(const KeyState&) const = default;
};

// Top key name -> its state.
using SnapshotState = std::map<std::string, KeyState>;

using CallKind = testsupport::ChangeCall;

struct Call {
    CallKind kind;
    std::string key;   // the top key
    std::string name;  // property or child name
    vell::VariableData value;
};

struct Step {
    uint32_t number = 0;
    bool batch = false;
    std::vector<Call> calls;
};

inline std::string LongText(uint32_t k) {
    const size_t length = 1200 + (k * 7919u) % 2400;
    return std::string(length, static_cast<char>('a' + k % 26)) + std::to_string(k);
}

// The state before the first step; CreateSnapshotDatabase writes it.
inline SnapshotState InitialSnapshotState() {
    SnapshotState state;
    for (int i = 0; i < kTopKeys; ++i) {
        KeyState& key = state[TopKey(i)];
        for (const char* name : {"a", "b", "big", "s", "count"}) {
            const vell::VariableData value = std::string(name) == "b" ? vell::VariableData("b0")
                                             : std::string(name) == "big"
                                                 ? vell::VariableData(LongText(0).c_str())
                                                 : vell::VariableData(0);
            key.properties.emplace_back(name, testsupport::StoredForm(value));
        }
    }
    return state;
}

inline void ApplyCall(SnapshotState& state, const Call& call) {
    KeyState& key = state[call.key];
    auto property = key.properties.begin();
    while (property != key.properties.end() && property->first != call.name) {
        ++property;
    }
    switch (call.kind) {
        case CallKind::kEdit:
            property->second = testsupport::StoredForm(call.value);
            break;
        case CallKind::kAppend:
            key.properties.emplace_back(call.name, testsupport::StoredForm(call.value));
            break;
        case CallKind::kDelete:
            key.properties.erase(property);
            break;
        case CallKind::kAddKey:
            key.children.push_back(call.name);
            break;
        case CallKind::kDeleteKey:
            std::erase(key.children, call.name);
            break;
    }
}

inline void ApplyStep(SnapshotState& state, const Step& step) {
    for (const Call& call : step.calls) {
        ApplyCall(state, call);
    }
}

// Step k, chosen by `rng` from the state after k - 1 steps. Calls of a batch come in the
// order the writer makes them.
inline Step NextStep(const SnapshotState& state, std::mt19937& rng, uint32_t k) {
    const std::string key = TopKey(static_cast<int>(rng() % kTopKeys));
    const KeyState& current = state.at(key);
    const int count = static_cast<int>(current.children.size());
    const int number = static_cast<int>(k);
    const std::string mark = std::to_string(k);
    Step step{k, false, {}};
    const unsigned roll = rng() % 10;
    if (roll < 3) {
        step.batch = true;
        step.calls = {{CallKind::kEdit, key, "a", number},
                      {CallKind::kEdit, key, "b", ("b" + mark).c_str()},
                      {CallKind::kEdit, key, "big", LongText(k).c_str()}};
    } else if (roll < 5) {
        step.calls = {{CallKind::kEdit, key, "s", number}};
    } else if (roll < 7 || (roll < 8 && count == 0)) {
        step.batch = true;
        step.calls = {{CallKind::kAddKey, key, "c" + mark, {}},
                      {CallKind::kEdit, key, "count", count + 1}};
    } else if (roll < 8) {
        step.batch = true;
        step.calls = {{CallKind::kDeleteKey, key, current.children.front(), {}},
                      {CallKind::kEdit, key, "count", count - 1}};
    } else {
        // Extra properties p<k> come and go; at most four stay.
        std::vector<std::string> extra;
        for (const auto& [name, stored] : current.properties) {
            if (name[0] == 'p') {
                extra.push_back(name);
            }
        }
        if (extra.size() >= 4) {
            step.calls = {{CallKind::kDelete, key, extra.front(), {}}};
        } else {
            step.calls = {{CallKind::kAppend, key, "p" + mark, number}};
        }
    }
    return step;
}

// The plan of one seed, followed step by step.
class SnapshotPlan {
public:
    explicit SnapshotPlan(unsigned seed) : rng_(seed), state_(InitialSnapshotState()) {}

    // Steps taken so far.
    uint32_t done() const { return done_; }
    const SnapshotState& state() const { return state_; }
    // Takes the next step and returns it.
    Step Advance() {
        Step step = NextStep(state_, rng_, done_ + 1);
        ApplyStep(state_, step);
        ++done_;
        return step;
    }

private:
    std::mt19937 rng_;
    SnapshotState state_;
    uint32_t done_ = 0;
};

// Reads one top key's properties with one call, as (name, stored form).
inline int ReadProperties(void* key, std::vector<std::pair<std::string, std::string>>& out) {
    std::list<std::pair<std::string, vell::VariableData>> properties;
    const int result = BRN_SelectKeyPropertys(key, properties);
    out.clear();
    for (auto& [name, value] : properties) {
        out.emplace_back(name, testsupport::StoredForm(value));
    }
    return result;
}

// Reads one top key's children with one call.
inline int ReadChildren(void* key, std::vector<std::string>& out) {
    std::list<std::string> names;
    const int result = BRN_SelectSubKeys(key, names);
    out.assign(names.begin(), names.end());
    return result;
}

// Performs one call through the exports; BRN_OK or the failing code.
inline int PerformCall(void* file, const Call& call) {
    const bool child = call.kind == CallKind::kDeleteKey;
    return testsupport::PerformChange(file, kSnapshotMainKey,
                                      child ? call.key + "\\" + call.name : call.key, call.kind,
                                      call.name, call.value);
}

// Writes the initial state into an open database that has no main key "S" yet.
inline int CreateSnapshotKeys(void* file) {
    void* main_key = nullptr;
    int result = BRN_OpenKey(file, main_key, kSnapshotMainKey, "", MODE_CREATE);
    BRN_CloseBRNHandle(main_key);
    for (const auto& [name, key_state] : InitialSnapshotState()) {
        void* parent = nullptr;
        if (result == BRN_OK) {
            result = BRN_OpenKey(file, parent, kSnapshotMainKey, "", MODE_OPEN);
        }
        std::string child = name;
        if (result == BRN_OK) {
            result = BRN_AppendSubKey(parent, child);
        }
        BRN_CloseBRNHandle(parent);
        for (const auto& [property, stored] : key_state.properties) {
            if (result != BRN_OK) {
                break;
            }
            vell::VariableData value;
            value.FromBinary(reinterpret_cast<const unsigned char*>(stored.data()),
                             static_cast<int>(stored.size()));
            result = PerformCall(file, {CallKind::kAppend, name, property, value});
        }
    }
    return result;
}

// Every top key, read key by key: a whole state only while no other process writes.
inline int ReadSnapshotState(void* file, SnapshotState& state) {
    state.clear();
    for (int i = 0; i < kTopKeys; ++i) {
        void* key = nullptr;
        int result = BRN_OpenKey(file, key, kSnapshotMainKey, TopKey(i), MODE_OPEN);
        KeyState& read = state[TopKey(i)];
        if (result == BRN_OK) {
            result = ReadProperties(key, read.properties);
        }
        if (result == BRN_OK) {
            result = ReadChildren(key, read.children);
        }
        BRN_CloseBRNHandle(key);
        if (result != BRN_OK) {
            return result;
        }
    }
    return BRN_OK;
}

}  // namespace brindle::sharing
