#include "brindle/json_codec.h"

#include <set>
#include <variant>
#include <vector>

#include "brindle/json_property.h"
#include "brindle/tool_error.h"
#include "brindle/wording.h"

namespace brindle::tool {
namespace {

Json KeyToJson(const KeyEntry& key, bool is_main_key) {
    Json json;
    json["name"] = TextToJson(key.name);
    if (is_main_key && key.hidden) {
        json["hidden"] = true;
    }
    if (is_main_key && key.read_only) {
        json["readonly"] = true;
    }
    Json properties = Json::array();
    for (const PropertyEntry& property : key.properties) {
        properties.push_back(PropertyToJson(property));
    }
    json["properties"] = std::move(properties);
    if (!key.children.empty()) {
        Json children = Json::array();
        for (const KeyEntry& child : key.children) {
            children.push_back(KeyToJson(child, false));
        }
        json["keys"] = std::move(children);
    }
    return json;
}

bool FlagFromJson(const Json& json, const char* field, bool is_main_key, const std::string& where) {
    if (!json.contains(field)) {
        return false;
    }
    if (!is_main_key) {
        JsonFault(where, std::string("only main keys carry '") + field + "'");
    }
    if (!json[field].is_boolean()) {
        JsonFault(where, std::string("'") + field + "' must be true or false");
    }
    return json[field].get<bool>();
}

const Json& ArrayField(const Json& json, const char* field, const std::string& where) {
    static const Json kEmpty = Json::array();
    if (!json.contains(field)) {
        return kEmpty;
    }
    if (!json[field].is_array()) {
        JsonFault(where, std::string("'") + field + "' must be an array");
    }
    return json[field];
}

std::vector<KeyEntry> KeysFromJson(const Json& array, bool are_main_keys, const std::string& where,
                                   int depth);

KeyEntry KeyFromJson(const Json& json, bool is_main_key, const std::string& where, int depth) {
    CheckFields(json, {"name", "hidden", "readonly", "properties", "keys"}, where);
    if (!json.contains("name")) {
        JsonFault(where, "a key needs a 'name'");
    }
    KeyEntry key;
    key.name = NameFromJson(json["name"], where);
    if (key.name.find('\\') != std::string::npos) {
        JsonFault(where, "a key name cannot hold a backslash: no key address could reach it");
    }
    const std::string named = where + " '" + key.name + "'";
    key.hidden = FlagFromJson(json, "hidden", is_main_key, named);
    key.read_only = FlagFromJson(json, "readonly", is_main_key, named);
    const Json& properties = ArrayField(json, "properties", named);
    std::set<std::string> seen;
    for (std::size_t i = 0; i < properties.size(); ++i) {
        const std::string at = named + " > properties[" + std::to_string(i) + "]";
        key.properties.push_back(PropertyFromJson(properties[i], at));
        if (!seen.insert(key.properties.back().name).second) {
            JsonFault(at, "duplicate property name '" + key.properties.back().name + "'");
        }
    }
    key.children = KeysFromJson(ArrayField(json, "keys", named), false, named + " > ", depth + 1);
    return key;
}

std::vector<KeyEntry> KeysFromJson(const Json& array, bool are_main_keys, const std::string& where,
                                   int depth) {
    if (depth > kMaxDumpDepth) {
        // `where` is the prefix of the array's entries, "keys[0] 'k' > ".
        const std::string separator = " > ";
        const bool prefix =
            where.size() >= separator.size() &&
            where.compare(where.size() - separator.size(), separator.size(), separator) == 0;
        JsonFault(prefix ? where.substr(0, where.size() - separator.size()) : where,
                  NestingFault());
    }
    std::vector<KeyEntry> keys;
    std::set<std::string> seen;
    for (std::size_t i = 0; i < array.size(); ++i) {
        const std::string at = where + "keys[" + std::to_string(i) + "]";
        keys.push_back(KeyFromJson(array[i], are_main_keys, at, depth));
        if (!seen.insert(keys.back().name).second) {
            JsonFault(at, "duplicate key name '" + keys.back().name + "'");
        }
    }
    return keys;
}

// Finds the first field an object of the text gives twice, which the JSON reader would
// silently take the last of. Reads the text's events only; `path` leads to the object.
class DuplicateFieldFinder {
public:
    using Token = std::variant<std::string, std::size_t>;

    bool Found() const { return !field_.empty(); }
    const std::vector<Token>& Path() const { return path_; }
    const std::string& Field() const { return field_; }

    bool null() { return Value(); }
    bool boolean(bool) { return Value(); }
    bool number_integer(Json::number_integer_t) { return Value(); }
    bool number_unsigned(Json::number_unsigned_t) { return Value(); }
    bool number_float(Json::number_float_t, const Json::string_t&) { return Value(); }
    bool string(Json::string_t&) { return Value(); }
    bool binary(Json::binary_t&) { return Value(); }
    bool start_object(std::size_t) { return Open(true); }
    bool end_object() { return Close(); }
    bool start_array(std::size_t) { return Open(false); }
    bool end_array() { return Close(); }
    bool key(Json::string_t& name) {
        Frame& frame = frames_.back();
        frame.key = name;
        if (!frame.keys.insert(name).second) {
            for (std::size_t i = 1; i < frames_.size(); ++i) {
                path_.push_back(frames_[i].token);
            }
            field_ = name;
            return false;  // stops the reading
        }
        return true;
    }
    template <typename Exception>
    bool parse_error(std::size_t, const std::string&, const Exception&) {
        return false;
    }

private:
    struct Frame {
        Token token;  // how the parent reaches this value
        bool object = false;
        std::set<std::string> keys;
        std::string key;
        std::size_t next = 0;
    };

    // How the value that starts now is reached from its parent.
    Token NextToken() {
        if (frames_.empty()) {
            return std::string();
        }
        Frame& parent = frames_.back();
        return parent.object ? Token(parent.key) : Token(parent.next++);
    }
    bool Value() {
        NextToken();
        return true;
    }
    bool Open(bool object) {
        Frame frame;
        frame.token = NextToken();
        frame.object = object;
        frames_.push_back(std::move(frame));
        return true;
    }
    bool Close() {
        frames_.pop_back();
        return true;
    }

    std::vector<Frame> frames_;
    std::vector<Token> path_;
    std::string field_;
};

// The place `path` leads to, named as the reader names places ("keys[0] 'App' >
// properties[1] 'port'"): the key or property whose object, or whose value, it is in.
std::string PlaceOf(const Json& document, const std::vector<DuplicateFieldFinder::Token>& path) {
    std::string place;
    const Json* node = &document;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto* field = std::get_if<std::string>(&path[i]);
        if (field == nullptr || !node->is_object() || !node->contains(*field)) {
            break;
        }
        node = &(*node)[*field];
        const auto* index = i + 1 < path.size() ? std::get_if<std::size_t>(&path[i + 1]) : nullptr;
        if (index == nullptr || !node->is_array() || *index >= node->size()) {
            continue;  // a field holding an object, such as a {"base64": ...} text
        }
        node = &(*node)[*index];
        ++i;
        place += (place.empty() ? "" : " > ") + *field + "[" + std::to_string(*index) + "]";
        if (node->is_object() && node->contains("name") && (*node)["name"].is_string()) {
            place += " '" + (*node)["name"].get<std::string>() + "'";
        }
    }
    return place.empty() ? "the top level" : place;
}

// The JSON reader's message without its own tag: "[json.exception.parse_error.101] parse
// error at line 2, column 1: syntax error ..." gives "at line 2, column 1: syntax error ...",
// and "[json.exception.out_of_range.406] number overflow parsing '1e400'" gives
// "(number overflow parsing '1e400')".
std::string ParseFault(const Json::exception& error) {
    std::string text = error.what();
    const std::size_t tag_end = text.find("] ");
    if (text.rfind("[json.exception.", 0) == 0 && tag_end != std::string::npos) {
        text.erase(0, tag_end + 2);
    }
    text = DisplayText(text, 0);  // it quotes what it last read, raw bytes included
    const std::string generic = "parse error ";
    if (text.rfind(generic, 0) == 0) {
        return text.substr(generic.size());
    }
    return "(" + text + ")";
}

std::size_t CountKeysOf(const KeyEntry& key) {
    return 1 + CountKeys(key.children);
}

}  // namespace

std::size_t CountKeys(const std::vector<KeyEntry>& keys) {
    std::size_t count = 0;
    for (const KeyEntry& key : keys) {
        count += CountKeysOf(key);
    }
    return count;
}

std::string DocumentToJson(const DumpDocument& document) {
    Json json;
    json["brindle_dump"] = 1;
    Json at = Json::array();
    for (const std::string& name : document.at) {
        at.push_back(TextToJson(name));
    }
    json["at"] = std::move(at);
    Json keys = Json::array();
    for (const KeyEntry& key : document.keys) {
        keys.push_back(KeyToJson(key, document.at.empty()));
    }
    json["keys"] = std::move(keys);
    return json.dump(2) + "\n";
}

std::string NestingFault() {
    return "keys nested more than " + std::to_string(kMaxDumpDepth) + " levels deep";
}

DumpDocument DocumentFromJson(std::string_view text) {
    Json json;
    try {
        json = Json::parse(text);
    } catch (const Json::exception& error) {
        throw ToolError("not valid JSON " + ParseFault(error));
    }
    DuplicateFieldFinder duplicates;
    Json::sax_parse(text, &duplicates);
    if (duplicates.Found()) {
        JsonFault(PlaceOf(json, duplicates.Path()),
                  "the field '" + duplicates.Field() + "' is given twice");
    }
    const std::string top = "the top level";
    CheckFields(json, {"brindle_dump", "at", "keys"}, top);
    if (!json.contains("brindle_dump")) {
        JsonFault(top, "not a dump of this tool (it has no \"brindle_dump\" field)");
    }
    if (json["brindle_dump"] != 1) {
        JsonFault(top, "\"brindle_dump\": " + json["brindle_dump"].dump() +
                           " is a format this tool does not read (it reads format 1)");
    }
    if (!json.contains("keys")) {
        JsonFault(top, "'keys' is missing");
    }
    DumpDocument document;
    const Json& at = ArrayField(json, "at", top);
    for (std::size_t i = 0; i < at.size(); ++i) {
        const std::string where = "at[" + std::to_string(i) + "]";
        document.at.push_back(NameFromJson(at[i], where));
        if (document.at.back().find('\\') != std::string::npos) {
            JsonFault(where, "a key name cannot hold a backslash");
        }
    }
    document.keys = KeysFromJson(ArrayField(json, "keys", top), document.at.empty(), "", 0);
    return document;
}

}  // namespace brindle::tool
