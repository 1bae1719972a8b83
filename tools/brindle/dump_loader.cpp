#include "brindle/dump_loader.h"

#include <set>

#include "brindle.h"
#include "brindle/progress.h"
#include "brindle/result_codes.h"
#include "brindle/tool_error.h"

namespace brindle::tool {
namespace {

bool HasContent(const KeyEntry& key) {
    return !key.properties.empty() || !key.children.empty();
}

[[noreturn]] void ReadOnlyRefusal(const std::string& name) {
    throw ToolError("cannot load into main key '" + name +
                        "': " + ResultMessage(BRN_ERR_READ_ONLY) + " (code " +
                        std::to_string(BRN_ERR_READ_ONLY) + "); nothing was written",
                    BRN_ERR_READ_ONLY);
}

void CheckAgainstDatabase(Database& database, const DumpDocument& document) {
    if (!document.at.empty()) {
        const KeyAddress main_key({document.at.front()});
        if (!document.keys.empty() && database.Exists(main_key) &&
            database.Open(main_key).IsReadOnly()) {
            ReadOnlyRefusal(main_key.MainKey());
        }
        return;
    }
    for (const KeyEntry& key : document.keys) {
        if (!HasContent(key)) {
            continue;
        }
        const KeyAddress main_key({key.name});
        const bool exists = database.Exists(main_key);
        if ((exists && database.Open(main_key).IsReadOnly()) || (!exists && key.read_only)) {
            ReadOnlyRefusal(key.name);
        }
    }
}

std::set<std::string> AsSet(const std::vector<std::string>& names) {
    return std::set<std::string>(names.begin(), names.end());
}

// Opens `parent`'s child `name`, creating it first when `existing` (the parent's children)
// lacks it.
Key OpenOrCreate(Database& database, Key& parent, const std::string& name,
                 const std::set<std::string>& existing) {
    if (existing.count(name) == 0) {
        parent.AppendSubKey(name);
    }
    return database.Open(parent.Address().Child(name));
}

void WriteProperties(Key& key, const std::vector<PropertyEntry>& properties) {
    std::set<std::string> present;
    for (const auto& property : key.Properties()) {
        present.insert(property.first);
    }
    for (const PropertyEntry& property : properties) {
        if (present.count(property.name) != 0) {
            key.Edit(property.name, property.value);
        } else {
            key.Append(property.name, property.value);
        }
    }
}

void WriteKey(Database& database, Key& key, const KeyEntry& entry, Progress& progress) {
    WriteProperties(key, entry.properties);
    progress.Step();
    if (entry.children.empty()) {
        return;
    }
    const std::set<std::string> existing = AsSet(key.SubKeys());
    for (const KeyEntry& child_entry : entry.children) {
        Key child = OpenOrCreate(database, key, child_entry.name, existing);
        WriteKey(database, child, child_entry, progress);
    }
}

Key OpenMainKey(Database& database, const KeyEntry& entry) {
    const KeyAddress address({entry.name});
    if (!database.Exists(address)) {
        database.CreateMainKey(entry.name, entry.hidden, entry.read_only);
    }
    return database.Open(address);
}

}  // namespace

void LoadDocument(Database& database, const DumpDocument& document) {
    CheckAgainstDatabase(database, document);
    Progress progress("loading", CountKeys(document.keys));
    if (document.at.empty()) {
        for (const KeyEntry& entry : document.keys) {
            Key key = OpenMainKey(database, entry);
            WriteKey(database, key, entry, progress);
        }
        return;
    }
    Key parent = OpenMainKey(database, KeyEntry{document.at.front(), false, false, {}, {}});
    for (std::size_t i = 1; i < document.at.size(); ++i) {
        Key next = OpenOrCreate(database, parent, document.at[i], AsSet(parent.SubKeys()));
        parent = std::move(next);
    }
    const std::set<std::string> existing = AsSet(parent.SubKeys());
    for (const KeyEntry& entry : document.keys) {
        Key key = OpenOrCreate(database, parent, entry.name, existing);
        WriteKey(database, key, entry, progress);
    }
}

}  // namespace brindle::tool
