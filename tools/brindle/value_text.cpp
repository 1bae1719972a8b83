#include "brindle/value_text.h"

#include <charconv>
#include <limits>
#include <vector>

#include "brindle/base64.h"
#include "brindle/tool_error.h"
#include "brindle/utc_time.h"
#include "brindle/wording.h"
#include "vell/date_time.h"

namespace brindle::tool {
namespace {

constexpr const char* kTypeNames[] = {"empty", "string", "short", "int",    "int64",
                                      "byte",  "double", "float", "binary", "datetime"};

template <typename Real>
Real ParseReal(std::string_view text, const char* type) {
    Real value{};
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error == std::errc::invalid_argument || stop != end) {
        throw ToolError(QuotedInput(text) + " is not a " + type +
                        " number (write digits, a point and an exponent, or nan, inf, -inf)");
    }
    if (error == std::errc::result_out_of_range) {
        throw ToolError(QuotedInput(text) + " is out of range for " + type);
    }
    return value;
}

template <typename Real>
std::string FormatReal(Real value) {
    char text[64];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string("nan");
}

vell::VariableData BinaryValue(const std::vector<unsigned char>& bytes) {
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw ToolError("a binary value of " + std::to_string(bytes.size()) +
                        " bytes is too large");
    }
    static const unsigned char kNoBytes = 0;
    vell::VariableData value;
    const unsigned char* data = bytes.empty() ? &kNoBytes : bytes.data();
    if (!value.SetBinary(data, static_cast<int>(bytes.size()), true)) {
        throw ToolError("out of memory for a binary value");
    }
    return value;
}

}  // namespace

const char* TypeName(int type) {
    return type >= 0 && type <= 9 ? kTypeNames[type] : "unknown";
}

vell::VariableType ParseTypeName(std::string_view name) {
    for (int type = 0; type <= 9; ++type) {
        if (name == kTypeNames[type]) {
            return static_cast<vell::VariableType>(type);
        }
    }
    std::string known;
    for (const char* type_name : kTypeNames) {
        known += known.empty() ? "" : ", ";
        known += type_name;
    }
    throw ToolError("unknown value type " + QuotedInput(name) + " (one of " + known + ")");
}

int64_t ParseInteger(std::string_view text, int64_t low, int64_t high, const char* type) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error == std::errc::invalid_argument || stop != end) {
        throw ToolError(QuotedInput(text) + " is not a whole decimal number");
    }
    if (error == std::errc::result_out_of_range || value < low || value > high) {
        throw ToolError(QuotedInput(text) + " is out of range for " + type + " (" +
                        std::to_string(low) + " to " + std::to_string(high) + ")");
    }
    return value;
}

double ParseDouble(std::string_view text) {
    return ParseReal<double>(text, "double");
}
float ParseFloat(std::string_view text) {
    return ParseReal<float>(text, "float");
}
std::string FormatDouble(double value) {
    return FormatReal(value);
}
std::string FormatFloat(float value) {
    return FormatReal(value);
}

vell::VariableData ParseValue(vell::VariableType type, std::string_view text) {
    vell::VariableData value;
    switch (type) {
        case vell::TypeEmpty:
            if (!text.empty()) {
                throw ToolError("an empty value takes no text, got " + QuotedInput(text));
            }
            break;
        case vell::TypeString:
            value.SetString(std::string(text).c_str());
            break;
        case vell::TypeShort:
            value.SetShort(static_cast<short>(ParseInteger(text, -32768, 32767, "short")));
            break;
        case vell::TypeInt:
            value.SetInt(static_cast<int>(ParseInteger(text, std::numeric_limits<int>::min(),
                                                       std::numeric_limits<int>::max(), "int")));
            break;
        case vell::TypeInt64:
            value.SetInt64(ParseInteger(text, std::numeric_limits<int64_t>::min(),
                                        std::numeric_limits<int64_t>::max(), "int64"));
            break;
        case vell::TypeByte:
            value.SetByte(static_cast<unsigned char>(ParseInteger(text, 0, 255, "byte")));
            break;
        case vell::TypeDouble:
            value.SetDouble(ParseDouble(text));
            break;
        case vell::TypeFloat:
            value.SetFloat(ParseFloat(text));
            break;
        case vell::TypeBinary:
            return BinaryValue(Base64Decode(text));
        case vell::TypeDateTime: {
            const int64_t seconds =
                !text.empty() && text.front() == '@'
                    ? ParseInteger(text.substr(1), 0, std::numeric_limits<int64_t>::max(),
                                   "datetime")
                    : ParseUtc(text);
            value.SetDateTime(vell::DateTime(seconds));
            break;
        }
        default:
            throw ToolError("unknown value type " + std::to_string(static_cast<int>(type)));
    }
    return value;
}

std::string BinaryBytes(const vell::VariableData& value) {
    int length = 0;
    if (!value.GetBinary(nullptr, length) || length <= 0) {
        return std::string();
    }
    std::string bytes(static_cast<std::size_t>(length), '\0');
    value.GetBinary(reinterpret_cast<unsigned char*>(bytes.data()), length);
    return bytes;
}

std::string FormatValue(const vell::VariableData& value) {
    switch (value.GetType()) {
        case vell::TypeString: {
            const char* text = value.GetString();
            return text != nullptr ? std::string(text) : std::string();
        }
        case vell::TypeShort:
            return std::to_string(value.GetShort());
        case vell::TypeInt:
            return std::to_string(value.GetInt());
        case vell::TypeInt64:
            return std::to_string(value.GetInt64());
        case vell::TypeByte:
            return std::to_string(static_cast<unsigned>(value.GetByte()));
        case vell::TypeDouble:
            return FormatDouble(value.GetDouble());
        case vell::TypeFloat:
            return FormatFloat(value.GetFloat());
        case vell::TypeBinary: {
            const std::string bytes = BinaryBytes(value);
            return Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        }
        case vell::TypeDateTime: {
            vell::DateTime when;
            value.GetDateTime(when);
            return FormatUtc(when.Count()).value_or("@" + std::to_string(when.Count()));
        }
        default:
            return std::string();
    }
}

}  // namespace brindle::tool
