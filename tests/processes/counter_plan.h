#pragma once

// Several writing processes on one counter. Each unit of work is a batch that reads the
// counter of the key C\log, writes it back plus one, and appends a marker property
// "w<writer>.<i>" holding the value it read. If the units ran one at a time, whole, the
// markers' values are 0 .. counter-1, each once (no update lost), and each writer's markers
// stand in the order it made them with growing values.

#include <cstdlib>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "brindle.h"
#include "brindle_batch.h"

namespace brindle::sharing {

inline constexpr const char* kCounterMainKey = "C";
inline constexpr const char* kCounterKey = "log";
inline constexpr const char* kCounterName = "counter";

inline std::string MarkerName(int writer, int index) {
    return "w" + std::to_string(writer) + "." + std::to_string(index);
}

// Creates C\log with the counter at 0.
inline int CreateCounterKeys(void* file) {
    void* key = nullptr;
    int result = BRN_OpenKey(file, key, kCounterMainKey, "", MODE_CREATE);
    BRN_CloseBRNHandle(key);
    if (result == BRN_OK) {
        result = BRN_OpenKey(file, key, kCounterMainKey, "", MODE_OPEN);
    }
    std::string name = kCounterKey;
    if (result == BRN_OK) {
        result = BRN_AppendSubKey(key, name);
    }
    BRN_CloseBRNHandle(key);
    if (result == BRN_OK) {
        result = BRN_OpenKey(file, key, kCounterMainKey, kCounterKey, MODE_OPEN);
    }
    vell::VariableData zero(0);
    if (result == BRN_OK) {
        result = BRN_AppendProperty(key, kCounterName, zero);
    }
    BRN_CloseBRNHandle(key);
    return result;
}

// What one read of C\log shows: the counter and each writer's markers in stored order as
// (index, value).
struct CounterState {
    int counter = -1;
    std::map<int, std::vector<std::pair<int, int>>> markers;
};

inline int ReadCounterState(void* key, CounterState& state) {
    std::list<std::pair<std::string, vell::VariableData>> properties;
    const int result = BRN_SelectKeyPropertys(key, properties);
    state = {};
    for (auto& [name, value] : properties) {
        if (name == kCounterName) {
            state.counter = value.GetInt();
        } else if (name.size() > 1 && name[0] == 'w') {
            const size_t dot = name.find('.');
            state.markers[std::atoi(name.c_str() + 1)].emplace_back(
                std::atoi(name.c_str() + dot + 1), value.GetInt());
        }
    }
    return result;
}

// Empty when the state is one that whole units run one at a time can leave; else what is
// wrong with it.
inline std::string CounterStateFault(const CounterState& state) {
    std::vector<int> seen(state.counter < 0 ? 0 : static_cast<size_t>(state.counter), 0);
    for (const auto& [writer, markers] : state.markers) {
        int last_value = -1;
        for (size_t i = 0; i < markers.size(); ++i) {
            const auto [index, value] = markers[i];
            const std::string where = MarkerName(writer, index);
            if (index != static_cast<int>(i)) {
                return where + " stands at place " + std::to_string(i) + " of its writer";
            }
            if (value <= last_value) {
                return where + " read " + std::to_string(value) + " after " +
                       std::to_string(last_value);
            }
            if (value < 0 || value >= state.counter) {
                return where + " read " + std::to_string(value) + " but the counter is " +
                       std::to_string(state.counter);
            }
            if (seen[static_cast<size_t>(value)]++ != 0) {
                return where + " read " + std::to_string(value) + " as another unit did";
            }
            last_value = value;
        }
    }
    for (size_t value = 0; value < seen.size(); ++value) {
        if (seen[value] == 0) {
            return "no unit read " + std::to_string(value) + " (counter " +
                   std::to_string(state.counter) + ")";
        }
    }
    return "";
}

// One unit of writer `writer`, its `index`th: BRN_OK, or the first failing code with the name
// of the call that failed in `failed`.
inline int CountOnce(void* file, void* key, int writer, int index, std::string& failed) {
    Batch batch(file);
    if (batch.Status() != BRN_OK) {
        failed = "batch";
        return batch.Status();
    }
    vell::VariableData value;
    int result = BRN_GetKeyProperty(key, kCounterName, value);
    failed = "get";
    vell::VariableData read(value.GetInt());
    vell::VariableData next(value.GetInt() + 1);
    if (result == BRN_OK) {
        result = BRN_EditProperty(key, kCounterName, next);
        failed = "edit";
    }
    if (result == BRN_OK) {
        result = BRN_AppendProperty(key, MarkerName(writer, index), read);
        failed = "append";
    }
    if (result == BRN_OK) {
        result = batch.Commit();
        failed = "commit";
    }
    return result;
}

}  // namespace brindle::sharing
