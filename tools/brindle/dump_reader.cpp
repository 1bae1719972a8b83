#include "brindle/dump_reader.h"

#include <algorithm>

#include "brindle/json_codec.h"
#include "brindle/progress.h"
#include "brindle/tool_error.h"
#include "brindle/wording.h"

namespace brindle::tool {
namespace {

// `level` counts from 1 for the keys the document lists; a key deeper than load reads back
// stops the dump before anything is written.
KeyEntry ReadKey(Database& database, const KeyAddress& address, Progress& progress, int level) {
    if (level > kMaxDumpDepth) {
        throw ToolError("cannot dump " + QuotedInput(address.ToString()) + ": " + NestingFault() +
                        ", deeper than load reads back; nothing was written");
    }
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
        entry.children.push_back(ReadKey(database, address.Child(child), progress, level + 1));
    }
    return entry;
}

}  // namespace

std::vector<MainKeyListing> ListedMainKeys(Database& database) {
    std::vector<MainKeyListing> keys;
    for (const std::string& name : database.MainKeys()) {
        keys.push_back({name, false, database.Open(KeyAddress({name})).IsReadOnly()});
    }
    return keys;
}

DumpDocument ReadMainKeys(Database& database, const std::vector<MainKeyListing>& main_keys) {
    Progress progress("dumping", 0);
    DumpDocument document;
    for (const MainKeyListing& main_key : main_keys) {
        document.keys.push_back(ReadKey(database, KeyAddress({main_key.name}), progress, 1));
        document.keys.back().hidden = main_key.hidden;
        document.keys.back().read_only = main_key.read_only;
    }
    return document;
}

DumpDocument ReadDocument(Database& database, const KeyAddress& address) {
    if (address.IsDatabase()) {
        return ReadMainKeys(database, ListedMainKeys(database));
    }
    Progress progress("dumping", 0);
    DumpDocument document;
    document.at = address.Parent().Names();
    document.keys.push_back(ReadKey(database, address, progress, 1));
    if (address.IsMainKey()) {
        const std::vector<std::string> listed = database.MainKeys();
        KeyEntry& main_key = document.keys.back();
        main_key.hidden = std::find(listed.begin(), listed.end(), main_key.name) == listed.end();
        main_key.read_only = database.Open(address).IsReadOnly();
    }
    return document;
}

}  // namespace brindle::tool
