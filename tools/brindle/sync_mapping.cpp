#include "brindle/sync_mapping.h"

#include <cstdio>

#include "brindle/json_property.h"
#include "brindle/tool_error.h"

namespace brindle::tool::sync {
namespace {

bool NeedsEscape(unsigned char c) {
    return c == '%' || c == '/' || c == '=' || c < 0x20 || c == 0x7f;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;  // lower case is never written, so it is never a spelling of anything
}

std::vector<std::string> SplitSegments(const std::string& text) {
    std::vector<std::string> segments;
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = text.find('/', start);
        segments.push_back(text.substr(start, slash - start));
        if (slash == std::string::npos) {
            return segments;
        }
        start = slash + 1;
    }
}

}  // namespace

std::string EscapeName(const std::string& name) {
    std::string escaped;
    escaped.reserve(name.size());
    for (const char c : name) {
        if (NeedsEscape(static_cast<unsigned char>(c))) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            escaped += hex;
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::optional<std::string> UnescapeName(const std::string& text) {
    std::string name;
    name.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c != '%') {
            if (NeedsEscape(c)) {
                return std::nullopt;  // only its escape is a spelling of this byte
            }
            name += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        name += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return name;
}

std::string Place::KeyPath() const {
    std::string text = main_key;
    for (const std::string& level : path) {
        text += "/" + level;
    }
    return text;
}

std::string Place::Describe() const {
    return property.empty() ? KeyPath() : KeyPath() + " " + property;
}

KeyNaming::KeyNaming(std::string prefix) : prefix_(std::move(prefix)) {
    while (!prefix_.empty() && prefix_.back() == '/') {
        prefix_.pop_back();
    }
}

std::string KeyNaming::DirectoryOf(const std::string& main_key,
                                   const std::vector<std::string>& path) const {
    std::string key = prefix_ + "/" + EscapeName(main_key) + "/";
    for (const std::string& level : path) {
        key += EscapeName(level) + "/";
    }
    return key;
}

std::string KeyNaming::KeyOf(const Place& place) const {
    return DirectoryOf(place.main_key, place.path) + "=" + EscapeName(place.property);
}

std::optional<Place> KeyNaming::PlaceOf(const std::string& etcd_key) const {
    if (etcd_key.size() <= prefix_.size() + 1 ||
        etcd_key.compare(0, prefix_.size(), prefix_) != 0 || etcd_key[prefix_.size()] != '/') {
        return std::nullopt;
    }
    const std::vector<std::string> segments = SplitSegments(etcd_key.substr(prefix_.size() + 1));
    if (segments.size() < 2 || segments.back().empty() || segments.back()[0] != '=') {
        return std::nullopt;
    }
    Place place;
    for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
        std::optional<std::string> name = UnescapeName(segments[i]);
        if (!name || name->empty()) {
            return std::nullopt;
        }
        (i == 0 ? place.main_key : place.path.emplace_back()) = std::move(*name);
    }
    std::optional<std::string> property = UnescapeName(segments.back().substr(1));
    if (!property) {
        return std::nullopt;
    }
    place.property = std::move(*property);
    return place;
}

std::string RangeEndOf(const std::string& prefix) {
    std::string end = prefix;
    while (!end.empty()) {
        if (static_cast<unsigned char>(end.back()) != 0xff) {
            end.back() = static_cast<char>(static_cast<unsigned char>(end.back()) + 1);
            return end;
        }
        end.pop_back();
    }
    return std::string(1, '\0');  // every key: etcd's spelling of "to the end"
}

std::string PropertyValueText(const PropertyEntry& property) {
    Json json = PropertyToJson(property);
    json.erase("name");
    return json.dump();
}

std::string MarkerValueText(bool main_key, bool hidden, bool read_only) {
    if (!main_key) {
        return "{}";
    }
    return Json{{"hidden", hidden}, {"read_only", read_only}}.dump();
}

vell::VariableData PropertyValueFrom(const std::string& text, const std::string& where) {
    Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        throw ToolError(where + ": the value in etcd is not a property in JSON");
    }
    json["name"] = "value";
    return PropertyFromJson(json, where).value;
}

void MarkerFlagsFrom(const std::string& text, bool& hidden, bool& read_only) {
    const Json json = Json::parse(text, nullptr, false);
    const auto flag = [&json](const char* name) {
        return json.is_object() && json.contains(name) && json[name].is_boolean() &&
               json[name].get<bool>();
    };
    hidden = flag("hidden");
    read_only = flag("read_only");
}

uint64_t DigestOf(const std::string& text) {
    // FNV-1a: stable across builds and runs, which std::hash is not promised to be.
    uint64_t digest = 14695981039346656037ull;
    for (const char c : text) {
        digest = (digest ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    return digest;
}

}  // namespace brindle::tool::sync
