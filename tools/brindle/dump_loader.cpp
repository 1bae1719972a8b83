#include "brindle/dump_loader.h"

#include <map>
#include <optional>
#include <set>
#include <vector>

#include "brindle.h"
#include "brindle/progress.h"
#include "brindle/result_codes.h"
#include "brindle/tool_error.h"
#include "brindle_batch.h"

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

const MainKeyListing* FindMainKey(const LoadOptions& options, const std::string& name) {
    for (const MainKeyListing& key : options.main_keys) {
        if (key.name == name) {
            return &key;
        }
    }
    return nullptr;
}

std::string FlagText(bool hidden, bool read_only) {
    const std::string text = std::string(hidden ? "hidden" : "") +
                             (hidden && read_only ? ", " : "") + (read_only ? "read-only" : "");
    return text.empty() ? "no flags" : text;
}

// A flag cannot be given to a main key that exists; a dump that asks for one it lacks would
// otherwise load without it unnoticed. Flags the key has and the dump leaves out stay.
void CheckFlags(const KeyEntry& key, const MainKeyListing& existing, const LoadOptions& options,
                std::ostream& warnings) {
    if ((!key.hidden || existing.hidden) && (!key.read_only || existing.read_only)) {
        return;
    }
    const std::string difference = "main key '" + key.name + "' exists with " +
                                   FlagText(existing.hidden, existing.read_only) +
                                   ", the dump gives it " + FlagText(key.hidden, key.read_only);
    if (!options.ignore_flags) {
        throw ToolError("cannot load: " + difference +
                        "; nothing was written (--ignore-flags loads it as it is)");
    }
    warnings << "brindle: warning: " << difference << "; its flags stay as they are\n";
}

void CheckAgainstDatabase(Database& database, const DumpDocument& document,
                          const LoadOptions& options, std::ostream& warnings) {
    if (!document.at.empty()) {
        const KeyAddress main_key({document.at.front()});
        if (!document.keys.empty() && database.Exists(main_key) &&
            database.Open(main_key).IsReadOnly()) {
            ReadOnlyRefusal(main_key.MainKey());
        }
        return;
    }
    for (const KeyEntry& key : document.keys) {
        const MainKeyListing* existing = FindMainKey(options, key.name);
        const bool read_only = existing != nullptr ? existing->read_only : key.read_only;
        if (HasContent(key) && read_only) {
            ReadOnlyRefusal(key.name);
        }
        if (existing != nullptr) {
            CheckFlags(key, *existing, options, warnings);
        }
    }
}

// A value's type and bits as the library stores them: equal forms, equal values.
std::vector<unsigned char> StoredForm(const vell::VariableData& value) {
    int length = 0;
    value.ToBinary(nullptr, length);
    std::vector<unsigned char> form(static_cast<std::size_t>(length));
    value.ToBinary(form.data(), length);
    return form;
}

std::set<std::string> AsSet(const std::vector<std::string>& names) {
    return std::set<std::string>(names.begin(), names.end());
}

// Walks the document beside the database, writing (or, in a dry run, only counting) what
// differs.
class Loader {
public:
    Loader(Database& database, const DumpDocument& document, bool dry_run)
        : database_(database), dry_run_(dry_run), progress_("loading", CountKeys(document.keys)) {}

    LoadCounts Counts() const { return counts_; }

    // The key `name` below `parent` (the database when empty), created when missing; false
    // in a dry run when it would have been created. A parent a dry run would have created
    // has no children yet.
    bool Reach(const KeyAddress& parent, const std::string& name, const KeyEntry* flags,
               bool parent_exists) {
        if (parent_exists && database_.Exists(parent.Child(name))) {
            return true;
        }
        ++counts_.keys_created;
        if (dry_run_) {
            return false;
        }
        if (parent.IsDatabase()) {
            database_.CreateMainKey(name, flags != nullptr && flags->hidden,
                                    flags != nullptr && flags->read_only);
        } else {
            database_.Open(parent).AppendSubKey(name);
        }
        return true;
    }

    void Write(const KeyAddress& address, const KeyEntry& entry, bool exists) {
        if (!exists) {
            CountNew(entry);
            return;
        }
        std::vector<bool> child_exists;
        {
            Key key = database_.Open(address);
            WriteProperties(key, entry.properties);
            const std::set<std::string> children =
                entry.children.empty() ? std::set<std::string>() : AsSet(key.SubKeys());
            for (const KeyEntry& child : entry.children) {
                bool found = children.count(child.name) != 0;
                if (!found) {
                    ++counts_.keys_created;
                    if (!dry_run_) {
                        key.AppendSubKey(child.name);
                        found = true;
                    }
                }
                child_exists.push_back(found);
            }
        }
        progress_.Step();
        for (std::size_t i = 0; i < entry.children.size(); ++i) {
            Write(address.Child(entry.children[i].name), entry.children[i], child_exists[i]);
        }
    }

private:
    void WriteProperties(Key& key, const std::vector<PropertyEntry>& properties) {
        std::map<std::string, std::vector<unsigned char>> present;
        for (const auto& [name, value] : key.Properties()) {
            present.emplace(name, StoredForm(value));  // the first of a name is the one read
        }
        for (const PropertyEntry& property : properties) {
            const auto found = present.find(property.name);
            if (found != present.end() && found->second == StoredForm(property.value)) {
                ++counts_.properties_unchanged;
                continue;
            }
            const bool exists = found != present.end();
            ++(exists ? counts_.properties_changed : counts_.properties_added);
            if (dry_run_) {
                continue;
            }
            if (exists) {
                key.Edit(property.name, property.value);
            } else {
                key.Append(property.name, property.value);
            }
        }
    }

    // A key a dry run would create: everything in it is new.
    void CountNew(const KeyEntry& entry) {
        counts_.properties_added += entry.properties.size();
        counts_.keys_created += entry.children.size();
        for (const KeyEntry& child : entry.children) {
            CountNew(child);
        }
    }

    Database& database_;
    bool dry_run_;
    Progress progress_;
    LoadCounts counts_;
};

}  // namespace

LoadCounts LoadDocument(Database& database, const DumpDocument& document,
                        const LoadOptions& options, std::ostream& warnings) {
    CheckAgainstDatabase(database, document, options, warnings);
    // One batch: a load that fails half-way (a full disk, a refused value, a crash) leaves the
    // database as it was.
    std::optional<Batch> batch;
    if (!options.dry_run) {
        batch.emplace(database.FileHandle());
        CheckResult(batch->Status(), "cannot start the load");
    }
    Loader loader(database, document, options.dry_run);
    KeyAddress parent;
    bool exists = true;
    for (const std::string& name : document.at) {
        exists = loader.Reach(parent, name, nullptr, exists);
        parent = parent.Child(name);
    }
    for (const KeyEntry& entry : document.keys) {
        loader.Write(parent.Child(entry.name), entry,
                     loader.Reach(parent, entry.name, &entry, exists));
    }
    if (batch) {
        CheckResult(batch->Commit(), "cannot commit the load; nothing of it was kept");
    }
    return loader.Counts();
}

}  // namespace brindle::tool
