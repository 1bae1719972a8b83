#pragma once

#include <string>
#include <vector>

#include "vell/variable_data.h"

namespace brindle::tool {

// The in-memory form of a text dump: what `dump` reads out of a database and `load` writes
// into one. Keeping it apart from both JSON and the database lets `load` check a whole file
// before it writes anything.
struct PropertyEntry {
    std::string name;
    vell::VariableData value;
};

struct KeyEntry {
    std::string name;
    // Main-key flags; only meaningful for keys that are main keys.
    bool hidden = false;
    bool read_only = false;
    std::vector<PropertyEntry> properties;
    std::vector<KeyEntry> children;
};

struct DumpDocument {
    // The levels the keys sit below: empty when the keys are main keys.
    std::vector<std::string> at;
    std::vector<KeyEntry> keys;
};

// Number of keys in the document, for progress reports.
std::size_t CountKeys(const std::vector<KeyEntry>& keys);

}  // namespace brindle::tool
