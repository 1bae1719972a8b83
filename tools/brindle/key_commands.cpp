#include <algorithm>
#include <memory>

#include "brindle.h"
#include "brindle/commands.h"
#include "brindle/database.h"
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
    int depth = -1;
};

void ListKeys(ToolContext& context, const KeyOptions& options) {
    Database database(context.DatabasePath());
    const KeyAddress address = KeyAddress::Parse(options.key);
    const std::vector<std::string> names =
        address.IsDatabase() ? database.MainKeys() : database.Open(address).SubKeys();
    for (const std::string& name : names) {
        *context.out << name << '\n';
    }
}

void MakeKey(ToolContext& context, const KeyOptions& options) {
    const KeyAddress address = KeyAddress::Parse(options.key);
    if (address.IsDatabase()) {
        throw ToolError("mkkey needs a key address");
    }
    if ((options.hidden || options.read_only) && (!address.IsMainKey() || options.generate)) {
        throw ToolError("--hidden and --readonly apply to main keys only");
    }
    Database database(context.DatabasePath());
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
    const KeyAddress address = KeyAddress::Parse(options.key);
    if (address.IsDatabase()) {
        throw ToolError("rmkey needs a key address");
    }
    Database database(context.DatabasePath());
    database.Open(address).Delete();
}

void RenameKey(ToolContext& context, const KeyOptions& options) {
    const KeyAddress address = KeyAddress::Parse(options.key);
    if (address.IsDatabase()) {
        throw ToolError("mvkey needs a key address");
    }
    if (options.new_name.empty() || options.new_name.size() > kMaxNameLength) {
        throw ToolError("the new name must have 1 to 255 characters");
    }
    Database database(context.DatabasePath());
    Key key = database.Open(address);
    // The library renames without looking at the siblings; two keys of one name would leave
    // one of them unreachable, so the tool refuses.
    bool taken = false;
    if (address.IsMainKey()) {
        taken = database.Exists(KeyAddress({options.new_name}));
    } else {
        const std::vector<std::string> siblings = database.Open(address.Parent()).SubKeys();
        taken = std::find(siblings.begin(), siblings.end(), options.new_name) != siblings.end();
    }
    if (taken && options.new_name != address.Leaf()) {
        CheckResult(BRN_ERR_KEY_EXISTS,
                    "cannot rename key '" + address.ToString() + "' to '" + options.new_name + "'");
    }
    key.Rename(options.new_name);
}

void ShowTree(ToolContext& context, const KeyOptions& options) {
    const KeyAddress address = KeyAddress::Parse(options.key);
    Database database(context.DatabasePath());
    PrintTree(database, address, options.depth, options.properties, *context.out);
}

}  // namespace

void AddKeyCommands(CLI::App& app, ToolContext& context) {
    auto options = std::make_shared<KeyOptions>();
    const char* key_help = "Key address: MainKey/sub/key (or MainKey\\sub\\key)";

    CLI::App* ls = app.add_subcommand("ls", "List the main keys, or the sub keys of a key");
    ls->add_option("key", options->key, key_help);
    ls->callback([options, &context] { ListKeys(context, *options); });

    CLI::App* mkkey = app.add_subcommand("mkkey", "Create a key");
    mkkey->add_option("key", options->key, key_help)->required();
    mkkey->add_flag("--hidden", options->hidden, "Main key: leave it out of listings");
    mkkey->add_flag("--readonly", options->read_only, "Main key: refuse every change below it");
    mkkey->add_flag("-p,--parents", options->parents, "Create missing levels, accept existing");
    mkkey->add_flag("--generate", options->generate,
                    "Create a child of KEY with a generated name and print its address");
    mkkey->callback([options, &context] { MakeKey(context, *options); });

    CLI::App* rmkey = app.add_subcommand("rmkey", "Delete a key with everything below it");
    rmkey->add_option("key", options->key, key_help)->required();
    rmkey->callback([options, &context] { RemoveKey(context, *options); });

    CLI::App* mvkey = app.add_subcommand("mvkey", "Rename a key");
    mvkey->add_option("key", options->key, key_help)->required();
    mvkey->add_option("new-name", options->new_name, "The new name (one level)")->required();
    mvkey->callback([options, &context] { RenameKey(context, *options); });

    CLI::App* tree = app.add_subcommand("tree", "Show keys as an indented tree");
    tree->add_option("key", options->key, key_help);
    tree->add_option("-d,--depth", options->depth, "Levels of keys to show below the start")
        ->check(CLI::NonNegativeNumber);
    tree->add_flag("-p,--props", options->properties, "Show properties with values and types");
    tree->callback([options, &context] { ShowTree(context, *options); });
}

}  // namespace brindle::tool
