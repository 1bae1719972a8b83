#include "brindle/key_operations.h"

#include <algorithm>
#include <vector>

#include "brindle.h"
#include "brindle/tool_error.h"

namespace brindle::tool {

SubtreeSize Measure(Database& database, const KeyAddress& address) {
    SubtreeSize size;
    std::vector<std::string> children;
    {
        Key key = database.Open(address);
        size.keys = 1;
        size.properties = key.Properties().size();
        children = key.SubKeys();
    }
    for (const std::string& child : children) {
        const SubtreeSize below = Measure(database, address.Child(child));
        size.keys += below.keys;
        size.properties += below.properties;
    }
    return size;
}

void RenameKeyInPlace(Database& database, const KeyAddress& address, const std::string& new_name) {
    Key key = database.Open(address);
    bool taken = false;
    if (address.IsMainKey()) {
        taken = database.Exists(KeyAddress({new_name}));
    } else {
        const std::vector<std::string> siblings = database.Open(address.Parent()).SubKeys();
        taken = std::find(siblings.begin(), siblings.end(), new_name) != siblings.end();
    }
    if (taken && new_name != address.Leaf()) {
        CheckResult(BRN_ERR_KEY_EXISTS,
                    "cannot rename key '" + address.ToString() + "' to '" + new_name + "'");
    }
    key.Rename(new_name);
}

KeyAddress AddressOf(const Change& change) {
    std::vector<std::string> names{change.main_key};
    std::size_t start = 0;
    while (start < change.path.size()) {
        const std::size_t end = std::min(change.path.find('\\', start), change.path.size());
        names.push_back(change.path.substr(start, end - start));
        start = end + 1;
    }
    return KeyAddress(std::move(names));
}

}  // namespace brindle::tool
