#include <algorithm>
#include <filesystem>
#include <memory>

#include "brindle.h"
#include "brindle/commands.h"
#include "brindle/database.h"
#include "brindle/integrity.h"
#include "brindle/json_property.h"
#include "brindle/key_operations.h"
#include "brindle/result_codes.h"
#include "brindle/tool_error.h"
#include "brindle/tree_printer.h"

namespace brindle::tool {
namespace {

struct KeyOptions {
    std::string key;
    std::string new_name;
    bool hidden = false;
    bool read_only = false;
    bool parents = false;
    bool generate = false;
    bool properties = false;
    bool all = false;
    bool json = false;
    bool nul = false;
    bool force = false;
    bool dry_run = false;
    int depth = -1;
};

KeyAddress NamedKey(const std::string& text, const char* command) {
    const KeyAddress address = KeyAddress::Parse(text);
    if (address.IsDatabase()) {
        throw UsageError(std::string(command) + " needs a key address");
    }
    return address;
}

bool IsGone(const ToolError& error) {
    return error.code() == BRN_ERR_KEY_NOT_FOUND || error.code() == BRN_ERR_MAIN_KEY_NOT_FOUND;
}

void PrintNames(const std::vector<std::string>& names, const KeyOptions& options,
                std::ostream& out) {
    if (options.json) {
        Json list = Json::array();
        for (const std::string& name : names) {
            list.push_back(TextToJson(name));
        }
        out << list.dump() << '\n';
        return;
    }
    for (const std::string& name : names) {
        out << (options.nul ? name : DisplayText(name, 0)) << (options.nul ? '\0' : '\n');
    }
}

void PrintMainKeyFlags(const std::vector<MainKeyListing>& keys, const KeyOptions& options,
                       std::ostream& out) {
    if (options.json) {
        Json list = Json::array();
        for (const MainKeyListing& key : keys) {
            list.push_back(Json{{"name", TextToJson(key.name)},
                                {"hidden", key.hidden},
                                {"readonly", key.read_only}});
        }
        out << list.dump() << '\n';
        return;
    }
    for (const MainKeyListing& key : keys) {
        if (options.nul) {
            out << key.name << '\0';
            continue;
        }
        std::string flags = key.hidden ? "hidden" : "";
        if (key.read_only) {
            flags += flags.empty() ? "read-only" : ", read-only";
        }
        out << DisplayText(key.name, 0) << (flags.empty() ? "" : "  (" + flags + ")") << '\n';
    }
}

void ListKeys(ToolContext& context, const KeyOptions& options) {
    if (options.json && options.nul) {
        throw UsageError("--json and -0 exclude each other");
    }
    const KeyAddress address = KeyAddress::Parse(options.key);
    if (options.all && !address.IsDatabase()) {
        throw UsageError("--all lists main keys; sub keys are never hidden");
    }
    if (options.all) {
        PrintMainKeyFlags(ListMainKeys(context.ReadAccess()), options, *context.out);
        return;
    }
    Database database(context.ReadAccess());
    PrintNames(address.IsDatabase() ? database.MainKeys() : database.Open(address).SubKeys(),
               options, *context.out);
}

void MakeKey(ToolContext& context, const KeyOptions& options) {
    const KeyAddress address = NamedKey(options.key, "mkkey");
    if ((options.hidden || options.read_only) && (!address.IsMainKey() || options.generate)) {
        throw UsageError("--hidden and --readonly apply to main keys only");
    }
    Database database(context.Access(true));
    if (options.generate) {
        const std::string name = database.Open(address).AppendSubKey("");
        *context.out << address.Child(name).ToString() << '\n';
    } else if (options.parents) {
        database.CreatePath(address);
    } else if (address.IsMainKey()) {
        database.CreateMainKey(address.MainKey(), options.hidden, options.read_only);
    } else {
        database.Open(address.Parent()).AppendSubKey(address.Leaf());
    }
}

void RemoveKey(ToolContext& context, const KeyOptions& options) {
    const KeyAddress address = NamedKey(options.key, "rmkey");
    const DatabaseAccess access = context.Access(false);
    if (options.force && !std::filesystem::exists(DataFileName(access.path, 1))) {
        return;  // no database: nothing to delete
    }
    Database database(access);
    try {
        Key key = database.Open(address);
        if (options.dry_run) {
            const SubtreeSize size = Measure(database, address);
            *context.out << "would delete '" << DisplayText(address.ToString(), 0)
                         << "': " << Counted(size.keys, "key") << " and "
                         << Counted(size.properties, "property", "properties") << '\n';
            return;
        }
        key.Delete();
    } catch (const ToolError& error) {
        if (!(options.force && IsGone(error))) {
            throw;
        }
    }
}

// NEW-NAME is one name, or an address of a key beside KEY: a rename never moves a key to
// another parent, and a name holding a separator could not be reached the same way again.
std::string NewNameOf(const KeyAddress& address, const std::string& text) {
    if (text.find_first_of("/\\") == std::string::npos) {
        if (text.empty() || text.size() > kMaxNameLength) {
            throw UsageError("the new name must have 1 to 255 characters");
        }
        return text;
    }
    const KeyAddress target = KeyAddress::Parse(text);
    if (target.IsDatabase() || target.Parent().Names() != address.Parent().Names()) {
        throw UsageError(
            "mvkey renames a key in place: give NEW-NAME as a plain name, or as "
            "the address of a key beside '" +
            address.ToString() + "'");
    }
    return target.Leaf();
}

void RenameKey(ToolContext& context, const KeyOptions& options) {
    const KeyAddress address = NamedKey(options.key, "mvkey");
    const std::string new_name = NewNameOf(address, options.new_name);
    Database database(context.Access(false));
    RenameKeyInPlace(database, address, new_name);
}

void ShowTree(ToolContext& context, const KeyOptions& options) {
    const KeyAddress address = KeyAddress::Parse(options.key);
    Database database(context.ReadAccess());
    PrintTree(database, address, options.depth, options.properties, *context.out);
}

}  // namespace

void AddKeyCommands(CLI::App& app, ToolContext& context) {
    auto options = std::make_shared<KeyOptions>();

    CLI::App* ls = app.add_subcommand("ls", "List the main keys, or the sub keys of a key");
    ls->add_option("key", options->key, kKeyHelp);
    ls->add_flag("-a,--all", options->all, "Main keys: hidden ones too, with their flags");
    ls->add_flag("--json", options->json, "Print a JSON array");
    ls->add_flag("-0,--null", options->nul, "Names as they are, each ended by a NUL byte");
    ls->callback([options, &context] { ListKeys(context, *options); });

    CLI::App* mkkey = app.add_subcommand("mkkey", "Create a key");
    mkkey->add_option("key", options->key, kKeyHelp)->required();
    mkkey->add_flag("--hidden", options->hidden, "Main key: leave it out of listings");
    mkkey->add_flag("--readonly", options->read_only, "Main key: refuse every change below it");
    mkkey->add_flag("-p,--parents", options->parents, "Create missing levels, accept existing");
    mkkey->add_flag("--generate", options->generate,
                    "Create a child of KEY with a generated name and print its address");
    mkkey->callback([options, &context] { MakeKey(context, *options); });

    CLI::App* rmkey = app.add_subcommand("rmkey", "Delete a key with everything below it");
    rmkey->add_option("key", options->key, kKeyHelp)->required();
    rmkey->add_flag("-f,--force", options->force, "Succeed quietly when the key is gone");
    rmkey->add_flag("-n,--dry-run", options->dry_run,
                    "Only say how many keys and properties would go");
    rmkey->callback([options, &context] { RemoveKey(context, *options); });

    CLI::App* mvkey = app.add_subcommand("mvkey", "Rename a key");
    mvkey->add_option("key", options->key, kKeyHelp)->required();
    mvkey
        ->add_option("new-name", options->new_name,
                     "The new name: one level, no separator (or the address of a key beside "
                     "KEY)")
        ->required();
    mvkey->callback([options, &context] { RenameKey(context, *options); });

    CLI::App* tree = app.add_subcommand("tree", "Show keys as an indented tree");
    tree->add_option("key", options->key, kKeyHelp);
    tree->add_option("-d,--depth", options->depth, "Levels of keys to show below the start")
        ->check(CLI::Range(0, 1000000));
    tree->add_flag("-p,--props", options->properties, "Show properties with values and types");
    tree->callback([options, &context] { ShowTree(context, *options); });
}

}  // namespace brindle::tool
