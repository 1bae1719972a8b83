#include <gtest/gtest.h>

#include <tuple>

#include "brindle/base64.h"
#include "brindle/key_address.h"
#include "brindle/tool_error.h"
#include "brindle/utc_time.h"
#include "brindle/value_text.h"

namespace brindle::tool {
namespace {

std::string ErrorOf(vell::VariableType type, const std::string& text) {
    try {
        ParseValue(type, text);
    } catch (const ToolError& error) {
        return error.what();
    }
    return "";
}

TEST(ValueText, TextParsesToItsTypeAndFormatsBackOrIsRefusedWithTheReason) {
    // An empty reason: the text parses to a value of the type and formats back to itself.
    const std::tuple<vell::VariableType, const char*, const char*> cases[] = {
        {vell::TypeString, "héllo wörld", ""},
        {vell::TypeShort, "-32768", ""},
        {vell::TypeInt, "2147483647", ""},
        {vell::TypeInt64, "-9223372036854775808", ""},
        {vell::TypeByte, "255", ""},
        {vell::TypeDouble, "1.7976931348623157e+308", ""},
        {vell::TypeDouble, "0.3333333333333333", ""},
        {vell::TypeDouble, "5e-324", ""},
        {vell::TypeDouble, "-0", ""},
        {vell::TypeDouble, "nan", ""},
        {vell::TypeFloat, "3.4028235e+38", ""},
        {vell::TypeFloat, "0.1", ""},  // rounded once, from the text, not via a double
        {vell::TypeFloat, "-inf", ""},
        {vell::TypeBinary, "AAEC/w==", ""},
        {vell::TypeDateTime, "2024-02-29T23:59:59Z", ""},
        {vell::TypeDateTime, "@253402300800", ""},  // past the year 9999
        {vell::TypeEmpty, "", ""},
        {vell::TypeShort, "32768", "out of range for short"},
        {vell::TypeInt, "2147483648", "out of range for int"},
        {vell::TypeInt64, "9223372036854775808", "out of range for int64"},
        {vell::TypeByte, "-1", "out of range for byte"},
        {vell::TypeFloat, "1e39", "out of range for float"},
        {vell::TypeDouble, "1e999", "out of range for double"},
        {vell::TypeDouble, "1.5.2", "not a double"},
        {vell::TypeEmpty, "x", "takes no text"},
    };
    for (const auto& [type, text, reason] : cases) {
        if (*reason == '\0') {
            const vell::VariableData value = ParseValue(type, text);
            EXPECT_EQ(value.GetType(), type) << text;
            EXPECT_EQ(FormatValue(value), text) << TypeName(type);
            EXPECT_EQ(ParseTypeName(TypeName(type)), type);
        } else {
            EXPECT_NE(ErrorOf(type, text).find(reason), std::string::npos) << text;
        }
    }
    for (const char* bad : {"", "12x", " 5", "+5", "0x10", "1.0", "1e3"}) {
        EXPECT_NE(ErrorOf(vell::TypeInt, bad).find("not a whole decimal number"), std::string::npos)
            << bad;
    }
    EXPECT_THROW(ParseTypeName("integer"), ToolError);
}

TEST(Base64, DecodesOnlyTheCanonicalSpelling) {
    const unsigned char bytes[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x00};
    for (std::size_t length = 0; length <= sizeof bytes; ++length) {
        const std::string text = Base64Encode(bytes, length);
        EXPECT_EQ(Base64Decode(text), std::vector<unsigned char>(bytes, bytes + length));
    }
    // Wrong length, a character outside the alphabet, padding in the middle, whitespace, and
    // a last group with stray low bits ("AB==" would decode like "AA==").
    for (const char* bad : {"AAE", "AA*=", "AA=A", "AA==AAAA", "AA E", "AB=="}) {
        EXPECT_THROW(Base64Decode(bad), ToolError) << bad;
    }
}

TEST(UtcTime, ParsesAndFormatsInUtcWithCalendarChecks) {
    EXPECT_EQ(ParseUtc("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(ParseUtc("2024-03-05T10:00:00Z"), 1709632800);
    EXPECT_EQ(ParseUtc("2024-03-05 10:00:00"), 1709632800);
    EXPECT_EQ(ParseUtc("2024-03-05"), 1709596800);
    EXPECT_EQ(ParseUtc("2000-02-29T12:00:00Z"), 951825600);
    EXPECT_EQ(FormatUtc(951825600).value(), "2000-02-29T12:00:00Z");
    EXPECT_EQ(FormatUtc(253402300799).value(), "9999-12-31T23:59:59Z");
    for (const char* bad : {"2023-02-29", "1900-02-29", "2024-13-01", "2024-04-31", "1969-12-31",
                            "2024-03-05T24:00:00Z", "2024-03-05T10:60:00", "2024-3-5",
                            "2024-03-05T10:00Z", "2024-03-05T10:00:00+01:00", "yesterday"}) {
        EXPECT_THROW(ParseUtc(bad), ToolError) << bad;
    }
}

TEST(KeyAddress, SplitsAtSlashesOrAtBackslashesWhenPresent) {
    // With a backslash present, a slash is part of a name.
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", {}},
        {"/", {}},
        {"/App/net/", {"App", "net"}},
        {"App\\net\\tls", {"App", "net", "tls"}},
        {"App\\a/b", {"App", "a/b"}},
        {"\\a/b", {"a/b"}},
        {"App/" + std::string(255, 'k'), {"App", std::string(255, 'k')}},
    };
    for (const auto& [text, names] : cases) {
        const KeyAddress address = KeyAddress::Parse(text);
        EXPECT_EQ(address.Names(), names) << text;
        EXPECT_EQ(address.IsDatabase(), names.empty()) << text;
        // ToString spells an address so that Parse reads back the same levels.
        EXPECT_EQ(KeyAddress::Parse(address.ToString()).Names(), names) << text;
    }
    EXPECT_THROW(KeyAddress::Parse("App//x"), ToolError);
    EXPECT_THROW(KeyAddress::Parse("App/" + std::string(256, 'k')), ToolError);
}

}  // namespace
}  // namespace brindle::tool
