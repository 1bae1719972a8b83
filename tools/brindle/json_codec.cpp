#include "brindle/json_codec.h"

#include <set>

#include "brindle/json_property.h"
#include "brindle/tool_error.h"

namespace brindle::tool {
namespace {

// Deeper nesting than any configuration needs; the bound keeps a hostile file from
// exhausting the stack of the recursive reader.
constexpr int kMaxDepth = 1000;

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
    if (depth > kMaxDepth) {
        JsonFault(where, "keys nested more than " + std::to_string(kMaxDepth) + " levels deep");
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

DumpDocument DocumentFromJson(std::string_view text) {
    Json json;
    try {
        json = Json::parse(text);
    } catch (const Json::parse_error& error) {
        throw ToolError(std::string("not valid JSON: ") + error.what());
    }
    const std::string top = "the top level";
    CheckFields(json, {"brindle_dump", "at", "keys"}, top);
    if (!json.contains("brindle_dump") || json["brindle_dump"] != 1) {
        JsonFault(top, "not a dump of this tool (\"brindle_dump\": 1 is missing)");
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
