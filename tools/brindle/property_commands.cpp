#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>

#include "brindle.h"
#include "brindle/commands.h"
#include "brindle/database.h"
#include "brindle/json_property.h"
#include "brindle/tool_error.h"
#include "brindle/value_text.h"

namespace brindle::tool {
namespace {

struct PropertyOptions {
    std::string key;
    std::string name;
    std::string value;
    CLI::Option* value_option = nullptr;  // tells an empty VALUE from none
    std::string type;                     // empty: keep the property's type (new: string)
    std::string from_file;
    std::string fallback;
    CLI::Option* fallback_option = nullptr;
    bool append = false;
    bool edit = false;
    bool force = false;
    bool raw = false;
    bool json = false;
    bool full = false;
};

KeyAddress KeyOf(const PropertyOptions& options) {
    const KeyAddress address = KeyAddress::Parse(options.key);
    if (address.IsDatabase()) {
        throw UsageError("properties live on keys: name a key, not the database");
    }
    return address;
}

bool IsGone(const ToolError& error) {
    return error.code() == BRN_ERR_KEY_NOT_FOUND || error.code() == BRN_ERR_MAIN_KEY_NOT_FOUND ||
           error.code() == BRN_ERR_PROPERTY_NOT_FOUND;
}

void ListProperties(ToolContext& context, const PropertyOptions& options) {
    Database database(context.ReadAccess());
    const auto properties = database.Open(KeyOf(options)).Properties();
    if (options.json) {
        Json list = Json::array();
        for (const auto& [name, value] : properties) {
            list.push_back(PropertyToJson(PropertyEntry{name, value}));
        }
        *context.out << list.dump() << '\n';
        return;
    }
    std::size_t name_width = 4;
    for (const auto& property : properties) {
        name_width = std::max(name_width, ShownWidth(DisplayText(property.first, 0)));
    }
    const std::size_t limit = options.full ? 0 : kShownValueLength;
    for (const auto& [name, value] : properties) {
        std::string shown_name = DisplayText(name, 0);
        shown_name.append(name_width - ShownWidth(shown_name), ' ');
        std::string type = TypeName(value.GetType());
        type.resize(8, ' ');
        *context.out << shown_name << "  " << type << "  " << DisplayText(FormatValue(value), limit)
                     << '\n';
    }
}

void PrintValue(const PropertyOptions& options, const vell::VariableData& value,
                std::ostream& out) {
    if (options.json) {
        out << PropertyToJson(PropertyEntry{options.name, value}).dump() << '\n';
    } else if (options.raw && value.GetType() == vell::TypeBinary) {
        out << BinaryBytes(value);
    } else if (options.raw) {
        out << FormatValue(value);
    } else {
        out << FormatValue(value) << '\n';
    }
}

void GetProperty(ToolContext& context, const PropertyOptions& options) {
    const bool has_default = options.fallback_option->count() > 0;
    if (has_default && options.json) {
        throw UsageError("--default and --json exclude each other");
    }
    const KeyAddress address = KeyOf(options);
    Database database(context.ReadAccess());
    std::optional<vell::VariableData> value;
    try {
        value = database.Open(address).Get(options.name);
    } catch (const ToolError& error) {
        if (!has_default || !IsGone(error)) {
            throw;
        }
        *context.out << options.fallback << (options.raw ? "" : "\n");
        return;
    }
    PrintValue(options, *value, *context.out);
}

// The value as given: raw bytes from --file, else the command-line text. Checked for what a
// command line can get wrong before anything is opened.
std::string GivenValue(const PropertyOptions& options) {
    const bool has_value = options.value_option->count() > 0;
    if (options.append && options.edit) {
        throw UsageError("--append and --edit exclude each other");
    }
    if (!options.type.empty()) {
        try {
            ParseTypeName(options.type);
        } catch (const ToolError& error) {
            throw UsageError(error.what());
        }
    }
    if (has_value && !options.from_file.empty()) {
        throw UsageError("give the value either on the command line or with --file, not both");
    }
    if (!options.from_file.empty()) {
        return ReadInput(options.from_file);
    }
    if (!has_value && options.type != "empty") {
        throw UsageError("set needs a VALUE (or --file FILE; -t empty takes none)");
    }
    return options.value;
}

// A text file's last line ends with a newline that is no part of the value ("echo 42 |
// brindle set K p -t int --file -"); one is dropped for every type but binary, whose bytes
// are kept exactly.
std::string WithoutFinalNewline(const std::string& text) {
    return !text.empty() && text.back() == '\n' ? text.substr(0, text.size() - 1) : text;
}

vell::VariableData ValueOf(vell::VariableType type, const std::string& given, bool from_file) {
    if (from_file && type == vell::TypeBinary) {
        vell::VariableData value;
        static const unsigned char kNoBytes = 0;
        const void* data = given.empty() ? &kNoBytes : static_cast<const void*>(given.data());
        if (given.size() > 0x7FFFFFFF ||
            !value.SetBinary(data, static_cast<int>(given.size()), true)) {
            throw ToolError("the file is too large for a binary value");
        }
        return value;
    }
    const std::string text = from_file ? WithoutFinalNewline(given) : given;
    if (from_file && type == vell::TypeString && text.find('\0') != std::string::npos) {
        throw ToolError("a string value cannot hold a NUL byte; use --type binary");
    }
    return ParseValue(type, text);
}

// The type the value is written with: the one given, else the property's own (a plain `set`
// never changes a type), else string. Changing the type of an existing property takes
// --edit or --force, except for an empty property, which has no value to lose (an empty
// binary block is stored as one).
vell::VariableType TypeFor(const PropertyOptions& options, Key& key) {
    const std::optional<vell::VariableData> existing = key.Find(options.name);
    if (options.type.empty()) {
        return existing ? static_cast<vell::VariableType>(existing->GetType()) : vell::TypeString;
    }
    const vell::VariableType wanted = ParseTypeName(options.type);
    if (existing && existing->GetType() != wanted && existing->GetType() != vell::TypeEmpty &&
        !options.edit && !options.force) {
        throw ToolError(
            "property " + QuotedInput(options.name) + " of '" + key.Address().ToString() + "' is " +
            WithArticle(TypeName(existing->GetType())) + ", not " + WithArticle(options.type) +
            "; leave out --type to keep its type, or change it with --force");
    }
    return wanted;
}

void SetProperty(ToolContext& context, const PropertyOptions& options) {
    const std::string text = GivenValue(options);
    const KeyAddress address = KeyOf(options);
    const bool from_file = !options.from_file.empty();
    // A value that cannot be read with the type given is refused before anything is opened.
    if (!options.type.empty()) {
        ValueOf(ParseTypeName(options.type), text, from_file);
    }
    Database database(context.Access(false));
    Key key = database.Open(address);
    const vell::VariableType type = TypeFor(options, key);
    const std::string value_text = from_file ? WithoutFinalNewline(text) : text;
    if (type == vell::TypeEmpty && options.type.empty() && !value_text.empty()) {
        // The property is empty, often because an empty binary block was written to it.
        throw ToolError("property " + QuotedInput(options.name) + " of '" + address.ToString() +
                        "' has the type empty (an empty binary block is stored that way), which "
                        "takes no value; give the type with the value, such as -t binary");
    }
    const vell::VariableData value = ValueOf(type, text, from_file);
    if (options.edit) {
        key.Edit(options.name, value);
    } else if (options.append) {
        key.Append(options.name, value);
    } else {
        key.Set(options.name, value);
    }
    const bool empty_block = type == vell::TypeBinary && BinaryBytes(value).empty();
    const std::optional<vell::VariableData> stored =
        empty_block ? key.Find(options.name) : std::nullopt;
    if (stored && stored->GetType() == vell::TypeEmpty) {
        std::cerr << "brindle: note: the library stores an empty binary block as an empty value: "
                     "property "
                  << QuotedInput(options.name)
                  << " now has the type empty; set it again with -t binary\n";
    }
}

void UnsetProperty(ToolContext& context, const PropertyOptions& options) {
    const KeyAddress address = KeyOf(options);
    const DatabaseAccess access = context.Access(false);
    if (options.force && !std::filesystem::exists(DataFileName(access.path, 1))) {
        return;
    }
    Database database(access);
    try {
        database.Open(address).DeleteProperty(options.name);
    } catch (const ToolError& error) {
        if (!(options.force && IsGone(error))) {
            throw;
        }
    }
}

}  // namespace

void AddPropertyCommands(CLI::App& app, ToolContext& context) {
    auto options = std::make_shared<PropertyOptions>();

    CLI::App* props = app.add_subcommand("props", "List a key's properties with types and values");
    props->add_option("key", options->key, kKeyHelp)->required();
    props->add_flag("--full", options->full,
                    "Show long values whole (they are cut after 60 characters)");
    props->add_flag("--json", options->json, "Print a JSON array in the dump's property form");
    props->callback([options, &context] { ListProperties(context, *options); });

    CLI::App* get = app.add_subcommand("get", "Print one property's value");
    get->add_option("key", options->key, kKeyHelp)->required();
    get->add_option("name", options->name, "Property name")->required();
    get->add_flag("--raw", options->raw, "No line end; binary values as raw bytes");
    get->add_flag("--json", options->json, "Print a JSON object in the dump's property form");
    options->fallback_option = get->add_option(
        "--default", options->fallback, "Print VALUE when the key or the property is missing");
    get->callback([options, &context] { GetProperty(context, *options); });

    CLI::App* set = app.add_subcommand("set", "Add or change a property");
    set->add_option("key", options->key, kKeyHelp)->required();
    set->add_option("name", options->name, "Property name")->required();
    options->value_option = set->add_option(
        "value", options->value,
        "The value (integers decimal, binary base64, datetime YYYY-MM-DDThh:mm:ssZ or "
        "@seconds)");
    set->add_option("-t,--type", options->type,
                    "empty, string, short, int, int64, byte, double, float, binary, datetime "
                    "(default: the property's type, string for a new one)");
    set->add_option("--file", options->from_file,
                    "Read the value from a file, '-' for standard input (binary: raw bytes)");
    set->add_flag("--append", options->append, "Only add: fail when the property exists");
    set->add_flag("--edit", options->edit,
                  "Only change: fail when the property is missing (may change its type)");
    set->add_flag("-f,--force", options->force, "Change an existing property's type");
    set->callback([options, &context] { SetProperty(context, *options); });

    CLI::App* unset = app.add_subcommand("unset", "Delete a property");
    unset->add_option("key", options->key, kKeyHelp)->required();
    unset->add_option("name", options->name, "Property name")->required();
    unset->add_flag("-f,--force", options->force,
                    "Succeed quietly when the property or its key is gone");
    unset->callback([options, &context] { UnsetProperty(context, *options); });
}

}  // namespace brindle::tool
