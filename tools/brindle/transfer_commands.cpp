#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>

#include "brindle/commands.h"
#include "brindle/database.h"
#include "brindle/dump_loader.h"
#include "brindle/dump_reader.h"
#include "brindle/json_codec.h"
#include "brindle/tool_error.h"

namespace brindle::tool {
namespace {

struct TransferOptions {
    std::string key;
    std::string file;
    bool overwrite = false;
    bool fresh = false;
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
        throw ToolError("export needs a key address");
    }
    Database database(context.DatabasePath());
    database.Open(address).Export(options.file, options.overwrite);
    std::error_code ignored;
    *context.out << "exported '" << address.ToString() << "' to " << options.file << " ("
                 << std::filesystem::file_size(options.file, ignored) << " bytes)\n";
}

void ImportFile(ToolContext& context, const TransferOptions& options) {
    Database database(context.DatabasePath());
    database.Import(options.file, options.fresh);
    *context.out << "imported " << options.file << '\n';
}

void Dump(ToolContext& context, const TransferOptions& options) {
    const KeyAddress address = KeyAddress::Parse(options.key);
    std::string text;
    {
        Database database(context.DatabasePath());
        text = DocumentToJson(ReadDocument(database, address));
    }
    if (options.file.empty() || options.file == "-") {
        *context.out << text;
        return;
    }
    std::ofstream out(options.file, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
        throw ToolError("cannot write '" + options.file + "'");
    }
}

std::string ReadInput(const std::string& file) {
    if (file == "-") {
        return std::string(std::istreambuf_iterator<char>(std::cin),
                           std::istreambuf_iterator<char>());
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw ToolError("cannot read '" + file + "'");
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
    Database database(context.DatabasePath());
    LoadDocument(database, document);
    *context.out << "loaded " << CountKeys(document.keys) << " keys and "
                 << CountProperties(document.keys) << " properties from " << options.file << '\n';
}

}  // namespace

void AddTransferCommands(CLI::App& app, ToolContext& context) {
    auto options = std::make_shared<TransferOptions>();
    const char* key_help = "Key address: MainKey/sub/key (or MainKey\\sub\\key)";

    CLI::App* exporter =
        app.add_subcommand("export", "Write a key and its subtree to a binary transfer file");
    exporter->add_option("key", options->key, key_help)->required();
    exporter->add_option("file", options->file, "The transfer file to write")->required();
    exporter->add_flag("--overwrite", options->overwrite, "Replace an existing file");
    exporter->callback([options, &context] { ExportKey(context, *options); });

    CLI::App* importer = app.add_subcommand(
        "import", "Read a binary transfer file back in, at the key path it records");
    importer->add_option("file", options->file, "The transfer file to read")->required();
    importer->add_flag("--fresh", options->fresh,
                       "Create every key anew (the main key must not exist); default: merge");
    importer->callback([options, &context] { ImportFile(context, *options); });

    CLI::App* dump = app.add_subcommand("dump", "Write keys and properties as JSON text");
    dump->add_option("key", options->key, "Key to dump (default: every listed main key)");
    dump->add_option("-o,--output", options->file, "File to write (default: standard output)");
    dump->callback([options, &context] { Dump(context, *options); });

    CLI::App* load = app.add_subcommand("load", "Merge a JSON dump into the database");
    load->add_option("file", options->file, "The dump to read ('-' for standard input)")
        ->required();
    load->callback([options, &context] { Load(context, *options); });
}

}  // namespace brindle::tool
