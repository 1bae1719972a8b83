#include <fstream>
#include <iterator>
#include <memory>

#include "brindle/commands.h"
#include "brindle/database.h"
#include "brindle/tool_error.h"
#include "brindle/value_text.h"

namespace brindle::tool {
namespace {

struct PropertyOptions {
    std::string key;
    std::string name;
    std::string value;
    std::string type = "string";
    std::string from_file;
    bool append = false;
    bool edit = false;
    bool raw = false;
};

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ToolError("cannot read '" + path + "'");
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

KeyAddress KeyOf(const PropertyOptions& options) {
    const KeyAddress address = KeyAddress::Parse(options.key);
    if (address.IsDatabase()) {
        throw ToolError("properties live on keys: name a key, not the database");
    }
    return address;
}

void ListProperties(ToolContext& context, const PropertyOptions& options) {
    Database database(context.DatabasePath());
    const auto properties = database.Open(KeyOf(options)).Properties();
    std::size_t name_width = 4;
    for (const auto& property : properties) {
        name_width = std::max(name_width, DisplayText(property.first, 0).size());
    }
    for (const auto& [name, value] : properties) {
        std::string shown_name = DisplayText(name, 0);
        shown_name.resize(name_width, ' ');
        std::string type = TypeName(value.GetType());
        type.resize(8, ' ');
        *context.out << shown_name << "  " << type << "  " << DisplayText(FormatValue(value), 0)
                     << '\n';
    }
}

void GetProperty(ToolContext& context, const PropertyOptions& options) {
    Database database(context.DatabasePath());
    const vell::VariableData value = database.Open(KeyOf(options)).Get(options.name);
    if (options.raw && value.GetType() == vell::TypeBinary) {
        *context.out << BinaryBytes(value);
    } else if (options.raw) {
        *context.out << FormatValue(value);
    } else {
        *context.out << FormatValue(value) << '\n';
    }
}

vell::VariableData ValueOf(const PropertyOptions& options) {
    const vell::VariableType type = ParseTypeName(options.type);
    if (options.from_file.empty()) {
        return ParseValue(type, options.value);
    }
    if (!options.value.empty()) {
        throw ToolError("give the value either on the command line or with --file, not both");
    }
    const std::string bytes = ReadWholeFile(options.from_file);
    if (type == vell::TypeBinary) {
        vell::VariableData value;
        static const unsigned char kNoBytes = 0;
        const void* data = bytes.empty() ? &kNoBytes : static_cast<const void*>(bytes.data());
        if (bytes.size() > 0x7FFFFFFF ||
            !value.SetBinary(data, static_cast<int>(bytes.size()), true)) {
            throw ToolError("'" + options.from_file + "' is too large for a binary value");
        }
        return value;
    }
    if (type == vell::TypeString && bytes.find('\0') != std::string::npos) {
        throw ToolError("a string value cannot hold a NUL byte; use --type binary");
    }
    return ParseValue(type, bytes);
}

void SetProperty(ToolContext& context, const PropertyOptions& options) {
    if (options.append && options.edit) {
        throw ToolError("--append and --edit exclude each other");
    }
    // The value is checked before the database is touched, so a bad value changes nothing.
    const vell::VariableData value = ValueOf(options);
    Database database(context.DatabasePath());
    Key key = database.Open(KeyOf(options));
    if (options.edit) {
        key.Edit(options.name, value);
    } else if (options.append) {
        key.Append(options.name, value);
    } else {
        key.Set(options.name, value);
    }
}

void UnsetProperty(ToolContext& context, const PropertyOptions& options) {
    Database database(context.DatabasePath());
    database.Open(KeyOf(options)).DeleteProperty(options.name);
}

}  // namespace

void AddPropertyCommands(CLI::App& app, ToolContext& context) {
    auto options = std::make_shared<PropertyOptions>();
    const char* key_help = "Key address: MainKey/sub/key (or MainKey\\sub\\key)";

    CLI::App* props = app.add_subcommand("props", "List a key's properties with types and values");
    props->add_option("key", options->key, key_help)->required();
    props->callback([options, &context] { ListProperties(context, *options); });

    CLI::App* get = app.add_subcommand("get", "Print one property's value");
    get->add_option("key", options->key, key_help)->required();
    get->add_option("name", options->name, "Property name")->required();
    get->add_flag("--raw", options->raw, "No line end; binary values as raw bytes");
    get->callback([options, &context] { GetProperty(context, *options); });

    CLI::App* set = app.add_subcommand("set", "Add or change a property");
    set->add_option("key", options->key, key_help)->required();
    set->add_option("name", options->name, "Property name")->required();
    set->add_option("value", options->value,
                    "The value (integers decimal, binary base64, datetime "
                    "YYYY-MM-DDThh:mm:ssZ or @seconds)");
    set->add_option("-t,--type", options->type,
                    "empty, string (default), short, int, int64, byte, double, float, binary, "
                    "datetime");
    set->add_option("--file", options->from_file, "Read the value from a file (binary: raw bytes)");
    set->add_flag("--append", options->append, "Only add: fail when the property exists");
    set->add_flag("--edit", options->edit, "Only change: fail when the property is missing");
    set->callback([options, &context] { SetProperty(context, *options); });

    CLI::App* unset = app.add_subcommand("unset", "Delete a property");
    unset->add_option("key", options->key, key_help)->required();
    unset->add_option("name", options->name, "Property name")->required();
    unset->callback([options, &context] { UnsetProperty(context, *options); });
}

}  // namespace brindle::tool
