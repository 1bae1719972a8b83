#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

TEST(ValueText, IntegersAreCheckedAgainstTheirTypeNotTruncated) {
    EXPECT_EQ(ParseValue(vell::TypeShort, "-32768").GetShort(), -32768);
    EXPECT_EQ(ParseValue(vell::TypeInt, "2147483647").GetInt(), 2147483647);
    EXPECT_EQ(ParseValue(vell::TypeInt64, "-9223372036854775808").GetInt64(),
              std::numeric_limits<int64_t>::min());
    EXPECT_EQ(ParseValue(vell::TypeByte, "255").GetByte(), 255);

    EXPECT_NE(ErrorOf(vell::TypeShort, "32768").find("out of range for short"), std::string::npos);
    EXPECT_NE(ErrorOf(vell::TypeInt, "2147483648").find("out of range for int"), std::string::npos);
    EXPECT_NE(ErrorOf(vell::TypeInt64, "9223372036854775808").find("out of range"),
              std::string::npos);
    EXPECT_NE(ErrorOf(vell::TypeByte, "-1").find("out of range for byte"), std::string::npos);
    for (const char* bad : {"", "12x", " 5", "+5", "0x10", "1.0", "1e3"}) {
        EXPECT_NE(ErrorOf(vell::TypeInt, bad).find("not a whole decimal number"), std::string::npos)
            << bad;
    }
}

TEST(ValueText, RealsParseExactlyAndRejectOverflowAndJunk) {
    const double third = ParseValue(vell::TypeDouble, "0.3333333333333333").GetDouble();
    EXPECT_EQ(ParseValue(vell::TypeDouble, FormatDouble(third)).GetDouble(), third);
    EXPECT_EQ(ParseValue(vell::TypeDouble, "4.9e-324").GetDouble(),
              std::numeric_limits<double>::denorm_min());
    EXPECT_TRUE(std::signbit(ParseValue(vell::TypeDouble, "-0").GetDouble()));
    EXPECT_TRUE(std::isnan(ParseValue(vell::TypeDouble, "nan").GetDouble()));
    EXPECT_EQ(ParseValue(vell::TypeFloat, "-inf").GetFloat(),
              -std::numeric_limits<float>::infinity());
    // A float is rounded once, from the decimal text, not via a double.
    EXPECT_EQ(ParseValue(vell::TypeFloat, "0.1").GetFloat(), 0.1f);
    EXPECT_EQ(FormatFloat(0.1f), "0.1");

    EXPECT_NE(ErrorOf(vell::TypeFloat, "1e39").find("out of range for float"), std::string::npos);
    EXPECT_NE(ErrorOf(vell::TypeDouble, "1e999").find("out of range for double"),
              std::string::npos);
    EXPECT_NE(ErrorOf(vell::TypeDouble, "1.5.2").find("not a double"), std::string::npos);
}

TEST(ValueText, EveryTypeFormatsToTextThatParsesBackToTheSameValue) {
    const std::pair<vell::VariableType, const char*> samples[] = {
        {vell::TypeString, "héllo wörld"},
        {vell::TypeShort, "-7"},
        {vell::TypeInt, "123456"},
        {vell::TypeInt64, "-9007199254740993"},
        {vell::TypeByte, "200"},
        {vell::TypeDouble, "1.7976931348623157e+308"},
        {vell::TypeFloat, "3.4028235e+38"},
        {vell::TypeBinary, "AAEC/w=="},
        {vell::TypeDateTime, "2024-02-29T23:59:59Z"},
        {vell::TypeEmpty, ""},
    };
    for (const auto& [type, text] : samples) {
        const vell::VariableData value = ParseValue(type, text);
        EXPECT_EQ(value.GetType(), type) << text;
        EXPECT_EQ(FormatValue(value), text) << TypeName(type);
        EXPECT_EQ(ParseTypeName(TypeName(type)), type);
    }
    EXPECT_THROW(ParseTypeName("integer"), ToolError);
    EXPECT_THROW(ParseValue(vell::TypeEmpty, "x"), ToolError);
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
    EXPECT_FALSE(FormatUtc(253402300800).has_value());
    for (const char* bad : {"2023-02-29", "1900-02-29", "2024-13-01", "2024-04-31", "1969-12-31",
                            "2024-03-05T24:00:00Z", "2024-03-05T10:60:00", "2024-3-5",
                            "2024-03-05T10:00Z", "2024-03-05T10:00:00+01:00", "yesterday"}) {
        EXPECT_THROW(ParseUtc(bad), ToolError) << bad;
    }
    // "@" and a count reaches every stored value, including those past the year 9999.
    EXPECT_EQ(FormatValue(ParseValue(vell::TypeDateTime, "@253402300800")), "@253402300800");
}

TEST(KeyAddress, SplitsAtSlashesOrAtBackslashesWhenPresent) {
    EXPECT_TRUE(KeyAddress::Parse("").IsDatabase());
    EXPECT_TRUE(KeyAddress::Parse("/").IsDatabase());
    EXPECT_EQ(KeyAddress::Parse("App/net/tls").Names(),
              (std::vector<std::string>{"App", "net", "tls"}));
    EXPECT_EQ(KeyAddress::Parse("/App/net/").Names(), (std::vector<std::string>{"App", "net"}));
    EXPECT_EQ(KeyAddress::Parse("App\\net\\tls").Names(),
              (std::vector<std::string>{"App", "net", "tls"}));
    // With a backslash present, a slash is part of a name.
    EXPECT_EQ(KeyAddress::Parse("App\\a/b").Names(), (std::vector<std::string>{"App", "a/b"}));
    EXPECT_EQ(KeyAddress::Parse("\\a/b").Names(), (std::vector<std::string>{"a/b"}));
    EXPECT_THROW(KeyAddress::Parse("App//x"), ToolError);
    EXPECT_THROW(KeyAddress::Parse("App/" + std::string(256, 'k')), ToolError);
    EXPECT_NO_THROW(KeyAddress::Parse("App/" + std::string(255, 'k')));

    // ToString spells an address so that Parse reads back the same levels.
    for (const auto& names : std::vector<std::vector<std::string>>{
             {"App", "net"}, {"App", "a/b", "c"}, {"a/b"}, {"x"}}) {
        EXPECT_EQ(KeyAddress::Parse(KeyAddress(names).ToString()).Names(), names);
    }
}

}  // namespace
}  // namespace brindle::tool
