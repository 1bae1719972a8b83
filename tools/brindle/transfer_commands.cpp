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
    Database database(context.Access(false));
    {
        const BusyIndicator busy("exporting");
        database.Open(address).Export(options.file, options.overwrite);
    }
    std::error_code ignored;
    *context.out << "exported '" << address.ToString() << "' to " << options.file << " ("
                 << std::filesystem::file_size(options.file, ignored) << " bytes)\n";
}

void ImportFile(ToolContext& context, const TransferOptions& options) {
    Database database(context.Access(true));
    {
        const BusyIndicator busy("importing");
        database.Import(options.file, options.fresh);
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
        main_keys = ListMainKeys(context.Access(false));
    }
    std::string text;
    {
        Database database(context.Access(false));
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
    DumpDocument document;
    try {
        document = DocumentFromJson(ReadInput(options.file));
    } catch (const ToolError& error) {
        throw ToolError(options.file + ": " + error.what() + "; nothing was written");
    }
    const DatabaseAccess access = context.Access(!options.dry_run);
    LoadOptions load;
    load.dry_run = options.dry_run;
    load.ignore_flags = options.ignore_flags;
    if (document.at.empty() && std::filesystem::exists(DataFileName(access.path, 1))) {
        load.main_keys = ListMainKeys(access);
    }
    if (options.dry_run && !std::filesystem::exists(DataFileName(access.path, 1))) {
        *context.out << "would create the database with " << CountKeys(document.keys)
                     << " keys and " << CountProperties(document.keys) << " properties\n";
        return;
    }
    Database database(access);
    const LoadCounts counts = LoadDocument(database, document, load, std::cerr);
    if (options.dry_run) {
        *context.out << "would create " << counts.keys_created << " keys, add "
                     << counts.properties_added << " properties and change "
                     << counts.properties_changed << "; nothing was written\n";
        return;
    }
    *context.out << "loaded " << CountKeys(document.keys) << " keys and "
                 << CountProperties(document.keys) << " properties from " << options.file << '\n';
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
