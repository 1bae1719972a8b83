#include "brindle/json_property.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>

#include "brindle/base64.h"
#include "brindle/key_address.h"
#include "brindle/tool_error.h"
#include "brindle/utc_time.h"
#include "brindle/value_text.h"
#include "vell/date_time.h"

namespace brindle::tool {
namespace {

std::string Hex(uint64_t bits, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*" PRIx64, digits, bits);
    return text;
}

uint64_t BitsFromJson(const Json& json, int digits, const std::string& where) {
    if (!json.is_string()) {
        JsonFault(where, "'bits' must be a string like \"0x3ff0000000000000\"");
    }
    const std::string text = json.get<std::string>();
    uint64_t bits = 0;
    bool valid = text.size() == static_cast<std::size_t>(digits) + 2 && text[0] == '0' &&
                 (text[1] == 'x' || text[1] == 'X');
    if (valid) {
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data() + 2, end, bits, 16);
        valid = error == std::errc() && stop == end;
    }
    if (!valid) {
        JsonFault(where, "'bits' must be 0x followed by " + std::to_string(digits) +
                             " hex digits, got \"" + text + "\"");
    }
    return bits;
}

// A real number's "value": a JSON number, or "nan", "inf", "-inf" for what JSON cannot write.
Json RealToJson(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value > 0 ? "inf" : "-inf";
    }
    return value;
}

double RealFromJson(const Json& json, const std::string& where) {
    if (json.is_number()) {
        return json.get<double>();
    }
    if (json.is_string()) {
        const std::string text = json.get<std::string>();
        if (text == "nan") {
            return std::numeric_limits<double>::quiet_NaN();
        }
        if (text == "inf" || text == "-inf") {
            return text == "inf" ? HUGE_VAL : -HUGE_VAL;
        }
    }
    JsonFault(where, "'value' must be a number, \"nan\", \"inf\" or \"-inf\"");
}

bool SameReal(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || a == b;
}

template <typename Real, typename Bits>
Real RealProperty(const Json& json, const std::string& where) {
    constexpr int kDigits = sizeof(Bits) * 2;
    if (!json.contains("value") && !json.contains("bits")) {
        JsonFault(where, "needs 'value' or 'bits'");
    }
    Real value{};
    if (json.contains("bits")) {
        const Bits bits = static_cast<Bits>(BitsFromJson(json["bits"], kDigits, where));
        std::memcpy(&value, &bits, sizeof value);
    }
    if (json.contains("value")) {
        const double given = RealFromJson(json["value"], where);
        if (std::isfinite(given) && std::fabs(given) > std::numeric_limits<Real>::max()) {
            JsonFault(where, "'value' is out of range for its type");
        }
        if (!json.contains("bits")) {
            return static_cast<Real>(given);
        }
        if (!SameReal(static_cast<Real>(given), value)) {
            JsonFault(where, "'value' and 'bits' disagree");
        }
    }
    return value;
}

int64_t IntegerFromJson(const Json& json, int64_t low, int64_t high, const char* type,
                        const std::string& where) {
    const std::string range = std::string(" for ") + type + " (" + std::to_string(low) + " to " +
                              std::to_string(high) + ")";
    if (json.is_number_unsigned()) {
        const uint64_t value = json.get<uint64_t>();
        if (value > static_cast<uint64_t>(high)) {
            JsonFault(where, std::to_string(value) + " is out of range" + range);
        }
        return static_cast<int64_t>(value);
    }
    if (json.is_number_integer()) {
        const int64_t value = json.get<int64_t>();
        if (value < low || value > high) {
            JsonFault(where, std::to_string(value) + " is out of range" + range);
        }
        return value;
    }
    if (json.is_number_float()) {
        const double value = json.get<double>();
        if (std::trunc(value) == value && (value < -9.3e18 || value > 9.3e18)) {
            JsonFault(where, json.dump() + " is out of range" + range);
        }
        JsonFault(where, "'value' must be a whole number without fraction or exponent, got " +
                             json.dump());
    }
    JsonFault(where, "'value' must be a JSON number, got " + std::string(json.type_name()));
}

vell::VariableData DateTimeProperty(const Json& json, const std::string& where) {
    if (!json.contains("value") && !json.contains("utc")) {
        JsonFault(where, "needs 'value' (seconds since 1970) or 'utc'");
    }
    int64_t seconds = 0;
    if (json.contains("value")) {
        seconds = IntegerFromJson(json["value"], 0, std::numeric_limits<int64_t>::max(), "datetime",
                                  where);
    }
    if (json.contains("utc")) {
        if (!json["utc"].is_string()) {
            JsonFault(where, "'utc' must be a string");
        }
        int64_t from_text = 0;
        try {
            from_text = ParseUtc(json["utc"].get<std::string>());
        } catch (const ToolError& error) {
            JsonFault(where, error.what());
        }
        if (json.contains("value") && from_text != seconds) {
            JsonFault(where, "'value' and 'utc' disagree");
        }
        seconds = from_text;
    }
    vell::VariableData value;
    value.SetDateTime(vell::DateTime(seconds));
    return value;
}

vell::VariableData ValueFromJson(const Json& json, vell::VariableType type,
                                 const std::string& where) {
    const bool has_value = json.contains("value");
    const auto require_value = [&] {
        if (!has_value) {
            JsonFault(where, "needs a 'value'");
        }
    };
    vell::VariableData value;
    switch (type) {
        case vell::TypeEmpty:
            CheckFields(json, {"name", "type"}, where);
            break;
        case vell::TypeString:
            CheckFields(json, {"name", "type", "value"}, where);
            require_value();
            {
                const std::string text = TextFromJson(json["value"], where);
                if (text.find('\0') != std::string::npos) {
                    JsonFault(where, "a string value cannot hold a NUL character");
                }
                value.SetString(text.c_str());
            }
            break;
        case vell::TypeShort:
        case vell::TypeInt:
        case vell::TypeInt64:
        case vell::TypeByte: {
            CheckFields(json, {"name", "type", "value"}, where);
            require_value();
            const Json& number = json["value"];
            if (type == vell::TypeShort) {
                value.SetShort(
                    static_cast<short>(IntegerFromJson(number, -32768, 32767, "short", where)));
            } else if (type == vell::TypeInt) {
                value.SetInt(static_cast<int>(
                    IntegerFromJson(number, std::numeric_limits<int>::min(),
                                    std::numeric_limits<int>::max(), "int", where)));
            } else if (type == vell::TypeInt64) {
                value.SetInt64(IntegerFromJson(number, std::numeric_limits<int64_t>::min(),
                                               std::numeric_limits<int64_t>::max(), "int64",
                                               where));
            } else {
                value.SetByte(
                    static_cast<unsigned char>(IntegerFromJson(number, 0, 255, "byte", where)));
            }
            break;
        }
        case vell::TypeDouble:
            CheckFields(json, {"name", "type", "value", "bits"}, where);
            value.SetDouble(RealProperty<double, uint64_t>(json, where));
            break;
        case vell::TypeFloat:
            CheckFields(json, {"name", "type", "value", "bits"}, where);
            value.SetFloat(RealProperty<float, uint32_t>(json, where));
            break;
        case vell::TypeBinary:
            CheckFields(json, {"name", "type", "base64"}, where);
            if (!json.contains("base64") || !json["base64"].is_string()) {
                JsonFault(where, "a binary value needs a 'base64' string");
            }
            try {
                value = ParseValue(vell::TypeBinary, json["base64"].get<std::string>());
            } catch (const ToolError& error) {
                JsonFault(where, error.what());
            }
            break;
        case vell::TypeDateTime:
            CheckFields(json, {"name", "type", "value", "utc"}, where);
            value = DateTimeProperty(json, where);
            break;
    }
    return value;
}

}  // namespace

void JsonFault(const std::string& where, const std::string& what) {
    // A place deep in a nested file is named by its first and last steps.
    constexpr std::size_t kHead = 60;
    constexpr std::size_t kTail = 140;
    if (where.size() <= kHead + kTail) {
        throw ToolError("at " + where + ": " + what);
    }
    const std::size_t head_end = where.rfind(" > ", kHead);
    const std::size_t tail_start = where.find(" > ", where.size() - kTail);
    const std::string head = where.substr(0, head_end == std::string::npos ? kHead : head_end);
    const std::string tail =
        where.substr(tail_start == std::string::npos ? where.size() - kTail : tail_start + 3);
    throw ToolError("at " + head + " > ... > " + tail + ": " + what);
}

void CheckFields(const Json& json, std::initializer_list<const char*> allowed,
                 const std::string& where) {
    if (!json.is_object()) {
        JsonFault(where, std::string("expected an object, got ") + json.type_name());
    }
    for (const auto& [field, unused] : json.items()) {
        bool known = false;
        for (const char* name : allowed) {
            known = known || field == name;
        }
        if (!known) {
            JsonFault(where, "unknown field '" + field + "'");
        }
    }
}

std::size_t Utf8Length(const std::string& bytes, std::size_t at) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char lead = byte(at);
    std::size_t extra = 0;
    uint32_t code = 0;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + extra >= bytes.size()) {
        return 0;
    }
    for (std::size_t k = 1; k <= extra; ++k) {
        if ((byte(at + k) & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (byte(at + k) & 0x3F);
    }
    const bool overlong = (extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000);
    if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return extra + 1;
}

bool IsUtf8(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = Utf8Length(bytes, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

Json TextToJson(const std::string& bytes) {
    if (IsUtf8(bytes)) {
        return bytes;
    }
    return Json{{"base64",
                 Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size())}};
}

std::string TextFromJson(const Json& json, const std::string& where) {
    if (json.is_string()) {
        return json.get<std::string>();
    }
    if (json.is_object() && json.size() == 1 && json.contains("base64") &&
        json["base64"].is_string()) {
        try {
            const std::vector<unsigned char> bytes =
                Base64Decode(json["base64"].get<std::string>());
            return std::string(bytes.begin(), bytes.end());
        } catch (const ToolError& error) {
            JsonFault(where, error.what());
        }
    }
    JsonFault(where, "expected a string or {\"base64\": \"...\"}, got " + json.dump());
}

std::string NameFromJson(const Json& json, const std::string& where) {
    const std::string name = TextFromJson(json, where);
    if (name.empty() || name.size() > kMaxNameLength) {
        JsonFault(where, "a name must have 1 to 255 bytes");
    }
    if (name.find('\0') != std::string::npos) {
        JsonFault(where, "a name cannot hold a NUL character");
    }
    return name;
}

Json PropertyToJson(const PropertyEntry& property) {
    const vell::VariableData& value = property.value;
    Json json;
    json["name"] = TextToJson(property.name);
    json["type"] = TypeName(value.GetType());
    switch (value.GetType()) {
        case vell::TypeString: {
            const char* text = value.GetString();
            json["value"] = TextToJson(text != nullptr ? text : "");
            break;
        }
        case vell::TypeShort:
            json["value"] = value.GetShort();
            break;
        case vell::TypeInt:
            json["value"] = value.GetInt();
            break;
        case vell::TypeInt64:
            json["value"] = value.GetInt64();
            break;
        case vell::TypeByte:
            json["value"] = value.GetByte();
            break;
        case vell::TypeDouble: {
            const double real = value.GetDouble();
            uint64_t bits = 0;
            std::memcpy(&bits, &real, sizeof bits);
            json["value"] = RealToJson(real);
            json["bits"] = Hex(bits, 16);
            break;
        }
        case vell::TypeFloat: {
            const float real = value.GetFloat();
            uint32_t bits = 0;
            std::memcpy(&bits, &real, sizeof bits);
            json["value"] = RealToJson(real);
            json["bits"] = Hex(bits, 8);
            break;
        }
        case vell::TypeBinary:
            json["base64"] = FormatValue(value);
            break;
        case vell::TypeDateTime: {
            vell::DateTime when;
            value.GetDateTime(when);
            json["value"] = when.Count();
            if (auto utc = FormatUtc(when.Count())) {
                json["utc"] = *utc;
            }
            break;
        }
        default:
            break;
    }
    return json;
}

PropertyEntry PropertyFromJson(const Json& json, const std::string& where) {
    if (!json.is_object()) {
        JsonFault(where, std::string("a property must be an object, got ") + json.type_name());
    }
    if (!json.contains("name")) {
        JsonFault(where, "a property needs a 'name'");
    }
    PropertyEntry property;
    property.name = NameFromJson(json["name"], where);
    const std::string named = where + " '" + property.name + "'";
    if (!json.contains("type") || !json["type"].is_string()) {
        JsonFault(named, "a property needs a 'type' string");
    }
    vell::VariableType type = vell::TypeEmpty;
    try {
        type = ParseTypeName(json["type"].get<std::string>());
    } catch (const ToolError& error) {
        JsonFault(named, error.what());
    }
    property.value = ValueFromJson(json, type, named);
    return property;
}

}  // namespace brindle::tool
