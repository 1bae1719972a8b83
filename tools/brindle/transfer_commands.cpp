#include <filesystem>
#include <iostream>
#include <memory>

#include "brindle/commands.h"
#include "brindle/database.h"
#include "brindle/dump_loader.h"
#include "brindle/dump_reader.h"
#include "brindle/integrity.h"
#include "brindle/json_codec.h"
#include "brindle/progress.h"
#include "brindle/tool_error.h"
#include "brindle/tool_output.h"
#include "brindle/wording.h"

namespace brindle::tool {
namespace {

struct TransferOptions {
    std::string key;
    std::string file;
    bool overwrite = false;
    bool fresh = false;
    bool all = false;
    bool dry_run = false;
    bool ignore_flags = false;
    bool hidden = false;
};

std::size_t CountProperties(const std::vector<KeyEntry>& keys) {
    std::size_t count = 0;
    for (const KeyEntry& key : keys) {
        count += key.properties.size() + CountProperties(key.children);
    }
    return count;
}

void ExportKey(ToolContext& context, const TransferOptions& options) {
    const KeyAddress address = KeyAddress::Parse(options.key);
    if (address.IsDatabase()) {
        throw UsageError("export needs a key address");
    }
    Database database(context.ReadAccess());
    {
        const BusyIndicator busy("exporting");
        database.Open(address).Export(options.file, options.overwrite);
    }
    std::error_code ignored;
    *context.out << "exported '" << address.ToString() << "' to " << options.file << " ("
                 << std::filesystem::file_size(options.file, ignored) << " bytes)\n";
}

// The main key an import would create gets the flag --hidden asks for; an export file does
// not carry flags. A main key that exists keeps its flags, so one without the flag asked for
// is refused before anything is written.
void ImportFile(ToolContext& context, const TransferOptions& options) {
    const DatabaseAccess access = context.Access(true);
    std::string hidden_main_key;
    if (options.hidden) {
        hidden_main_key = ExportFileMainKey(options.file);
        if (std::filesystem::exists(DataFileName(access.path, 1))) {
            for (const MainKeyListing& key : ListMainKeys(access)) {
                if (key.name == hidden_main_key && !key.hidden) {
                    throw ToolError("cannot import " + options.file + " with --hidden: main key '" +
                                    key.name +
                                    "' exists and is not hidden, and a flag cannot be added "
                                    "later; nothing was written");
                }
                if (key.name == hidden_main_key) {
                    hidden_main_key.clear();  // hidden already: a plain import
                }
            }
        }
    }
    Database database(access);
    {
        const BusyIndicator busy("importing");
        if (hidden_main_key.empty()) {
            database.Import(options.file, options.fresh);
        } else {
            // The library creates a missing main key without flags: the tool creates it
            // hidden first, and the import, into an empty main key, merges.
            database.CreateMainKey(hidden_main_key, true, false);
            try {
                database.Import(options.file, false);
            } catch (const ToolError& error) {
                throw ToolError(std::string(error.what()) + "; the hidden main key '" +
                                    hidden_main_key +
                                    "' was created and stays, empty (main keys cannot be deleted)",
                                error.code());
            }
        }
    }
    *context.out << "imported " << options.file << '\n';
}

void Dump(ToolContext& context, const TransferOptions& options) {
    const KeyAddress address = KeyAddress::Parse(options.key);
    if (options.all && !address.IsDatabase()) {
        throw UsageError("--all dumps the whole database; a named key is dumped as it is");
    }
    // Hidden main keys and their flags are read from the data files before the exports open
    // the database.
    std::vector<MainKeyListing> main_keys;
    if (options.all) {
        main_keys = ListMainKeys(context.ReadAccess());
    }
    std::string text;
    {
        Database database(context.ReadAccess());
        text = DocumentToJson(options.all ? ReadMainKeys(database, main_keys)
                                          : ReadDocument(database, address));
    }
    if (options.file.empty() || options.file == "-") {
        *context.out << text;
        return;
    }
    ReplacingFile out(options.file);
    out.Stream() << text;
    out.Commit();
}

void Load(ToolContext& context, const TransferOptions& options) {
    // The whole file is read and checked before the database is opened: a faulty file
    // writes nothing.
    const std::string text = ReadInput(options.file);
    const std::string source = options.file == "-" ? "standard input" : options.file;
    DumpDocument document;
    try {
        document = DocumentFromJson(text);
    } catch (const ToolError& error) {
        throw ToolError(source + ": " + error.what() + "; nothing was written");
    }
    const DatabaseAccess access = context.Access(!options.dry_run);
    LoadOptions load;
    load.dry_run = options.dry_run;
    load.ignore_flags = options.ignore_flags;
    if (document.at.empty() && std::filesystem::exists(DataFileName(access.path, 1))) {
        load.main_keys = ListMainKeys(access);
    }
    if (options.dry_run && !std::filesystem::exists(DataFileName(access.path, 1))) {
        *context.out << "would create the database with "
                     << Counted(document.at.size() + CountKeys(document.keys), "key") << " and "
                     << Counted(CountProperties(document.keys), "property", "properties") << '\n';
        return;
    }
    Database database(access);
    const LoadCounts counts = LoadDocument(database, document, load, std::cerr);
    const std::string unchanged = std::to_string(counts.properties_unchanged) + " unchanged";
    if (options.dry_run) {
        *context.out << "would create " << Counted(counts.keys_created, "key") << ", add "
                     << Counted(counts.properties_added, "property", "properties") << " and change "
                     << counts.properties_changed << " (" << unchanged
                     << "); nothing was written\n";
        return;
    }
    *context.out << "loaded " << source << ": created " << Counted(counts.keys_created, "key")
                 << ", added " << Counted(counts.properties_added, "property", "properties")
                 << ", changed " << counts.properties_changed << ", " << unchanged << '\n';
}

}  // namespace

void AddTransferCommands(CLI::App& app, ToolContext& context) {
    auto options = std::make_shared<TransferOptions>();

    CLI::App* exporter =
        app.add_subcommand("export", "Write a key and its subtree to a binary transfer file");
    exporter->add_option("key", options->key, kKeyHelp)->required();
    exporter->add_option("file", options->file, "The transfer file to write")->required();
    exporter->add_flag("--overwrite", options->overwrite, "Replace an existing file");
    exporter->callback([options, &context] { ExportKey(context, *options); });

    CLI::App* importer = app.add_subcommand(
        "import", "Read a binary transfer file back in, at the key path it records");
    importer->add_option("file", options->file, "The transfer file to read")->required();
    importer->add_flag("--fresh", options->fresh,
                       "Create every key anew; refused (code 16) when the main key exists. "
                       "Default: merge");
    importer->add_flag("--hidden", options->hidden,
                       "Create the main key hidden when the import creates it (an export file "
                       "does not carry flags; dump --all does)");
    importer->callback([options, &context] { ImportFile(context, *options); });

    CLI::App* dump = app.add_subcommand("dump", "Write keys and properties as JSON text");
    dump->add_option("key", options->key, "Key to dump (default: every listed main key)");
    dump->add_flag("-a,--all", options->all,
                   "Every main key, hidden ones too, with their flags: a full backup");
    dump->add_option("-o,--output", options->file,
                     "File to write, replaced only once complete (default: standard output)");
    dump->callback([options, &context] { Dump(context, *options); });

    CLI::App* load = app.add_subcommand("load", "Merge a JSON dump into the database");
    load->add_option("file", options->file, "The dump to read ('-' for standard input)")
        ->required();
    load->add_flag("-n,--dry-run", options->dry_run,
                   "Check the dump and count what would change; write nothing");
    load->add_flag("--ignore-flags", options->ignore_flags,
                   "Load into existing main keys whose hidden or read-only flag differs from "
                   "the dump's (with a warning)");
    load->callback([options, &context] { Load(context, *options); });
}

}  // namespace brindle::tool
