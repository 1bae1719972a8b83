#include "brindle/dump_reader.h"

#include <algorithm>

#include "brindle/progress.h"

namespace brindle::tool {
namespace {

KeyEntry ReadKey(Database& database, const KeyAddress& address, Progress& progress) {
    KeyEntry entry;
    entry.name = address.Leaf();
    std::vector<std::string> children;
    {
        Key key = database.Open(address);
        for (auto& [name, value] : key.Properties()) {
            entry.properties.push_back(PropertyEntry{name, value});
        }
        children = key.SubKeys();
    }
    progress.Step();
    for (const std::string& child : children) {
        entry.children.push_back(ReadKey(database, address.Child(child), progress));
    }
    return entry;
}

}  // namespace

DumpDocument ReadDocument(Database& database, const KeyAddress& address) {
    Progress progress("dumping", 0);
    DumpDocument document;
    const std::vector<std::string> listed = database.MainKeys();
    if (address.IsDatabase()) {
        for (const std::string& name : listed) {
            const KeyAddress main_key({name});
            document.keys.push_back(ReadKey(database, main_key, progress));
            document.keys.back().read_only = database.Open(main_key).IsReadOnly();
        }
        return document;
    }
    document.at = address.Parent().Names();
    document.keys.push_back(ReadKey(database, address, progress));
    if (address.IsMainKey()) {
        KeyEntry& main_key = document.keys.back();
        main_key.hidden = std::find(listed.begin(), listed.end(), main_key.name) == listed.end();
        main_key.read_only = database.Open(address).IsReadOnly();
    }
    return document;
}

}  // namespace brindle::tool
