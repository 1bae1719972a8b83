#include <gtest/gtest.h>

#include <bit>
#include <limits>

#include "brindle/json_codec.h"
#include "brindle/tool_error.h"
#include "brindle/value_text.h"

namespace brindle::tool {
namespace {

vell::VariableData Double(uint64_t bits) {
    return vell::VariableData(std::bit_cast<double>(bits));
}

// Same type and same stored bytes: NaN payloads and the sign of zero included.
bool Identical(const vell::VariableData& a, const vell::VariableData& b) {
    int size_a = 0, size_b = 0;
    a.ToBinary(nullptr, size_a);
    b.ToBinary(nullptr, size_b);
    std::vector<unsigned char> form_a(size_a), form_b(size_b);
    a.ToBinary(form_a.data(), size_a);
    b.ToBinary(form_b.data(), size_b);
    return form_a == form_b;
}

std::string LoadError(const std::string& json) {
    try {
        DocumentFromJson(json);
    } catch (const ToolError& error) {
        return error.what();
    }
    return "";
}

std::string WithProperty(const std::string& property) {
    return R"({"brindle_dump": 1, "keys": [{"name": "App", "properties": [)" + property + "]}]}";
}

TEST(JsonCodec, EveryTypeRoundTripsBitForBit) {
    DumpDocument document;
    KeyEntry app{"App", true, false, {}, {}};
    const std::string not_utf8 = std::string("caf\xE9", 4);
    app.properties = {
        {"empty", vell::VariableData()},
        {"text", vell::VariableData("line one\nline \"two\"")},
        {"latin1", vell::VariableData(not_utf8.c_str())},
        {"short", vell::VariableData(static_cast<short>(-32768))},
        {"int", vell::VariableData(std::numeric_limits<int>::min())},
        {"int64", vell::VariableData(std::numeric_limits<int64_t>::max())},
        {"byte", vell::VariableData().SetByte(255)},
        {"pi", vell::VariableData(3.141592653589793)},
        {"negative_zero", Double(0x8000000000000000ULL)},
        {"denormal", Double(1)},
        {"nan_payload", Double(0x7FF8000000000123ULL)},
        {"infinity", Double(0x7FF0000000000000ULL)},
        {"float", vell::VariableData(0.1f)},
        {"float_nan", vell::VariableData(std::bit_cast<float>(0xFFC00001U))},
        {"blob", vell::VariableData("\x00\x01\xFF", 3)},
        {"when", ParseValue(vell::TypeDateTime, "2024-03-05T10:00:00Z")},
        {"far_future", ParseValue(vell::TypeDateTime, "@9223372036854775807")},
    };
    app.children.push_back(
        KeyEntry{not_utf8, false, false, {}, {KeyEntry{"leaf", false, false, {}, {}}}});
    document.keys.push_back(app);
    document.keys.push_back(KeyEntry{"Frozen", false, true, {}, {}});

    const std::string text = DocumentToJson(document);
    const DumpDocument back = DocumentFromJson(text);
    EXPECT_EQ(DocumentToJson(back), text);
    ASSERT_EQ(back.keys.size(), 2u);
    ASSERT_EQ(back.keys[0].properties.size(), app.properties.size());
    for (std::size_t i = 0; i < app.properties.size(); ++i) {
        EXPECT_EQ(back.keys[0].properties[i].name, app.properties[i].name);
        EXPECT_TRUE(Identical(back.keys[0].properties[i].value, app.properties[i].value))
            << app.properties[i].name;
    }
    // Readable forms sit next to the exact ones.
    EXPECT_NE(text.find(R"("utc": "2024-03-05T10:00:00Z")"), std::string::npos);
    EXPECT_NE(text.find(R"("value": 9223372036854775807)"), std::string::npos);
    EXPECT_NE(text.find(R"("base64": "AAH/")"), std::string::npos);
}

TEST(JsonCodec, HandWrittenValuesNeedOnlyTheReadableForm) {
    const DumpDocument document = DocumentFromJson(R"({"brindle_dump": 1, "at": ["App", "net"],
        "keys": [{"name": "tls", "properties": [
            {"name": "d", "type": "double", "value": 0.1},
            {"name": "f", "type": "float", "value": 2.5},
            {"name": "t", "type": "datetime", "utc": "2024-03-05T10:00:00Z"}]}]})");
    EXPECT_EQ(document.at, (std::vector<std::string>{"App", "net"}));
    const auto& properties = document.keys[0].properties;
    EXPECT_EQ(properties[0].value.GetDouble(), 0.1);
    EXPECT_EQ(properties[1].value.GetFloat(), 2.5f);
    EXPECT_EQ(FormatValue(properties[2].value), "2024-03-05T10:00:00Z");
}

TEST(JsonCodec, RejectsMalformedDocumentsSayingWhere) {
    const std::pair<std::string, std::string> cases[] = {
        {"{not json", "not valid JSON at line 1, column 3: syntax error"},
        {"{\"brindle_dump\": 1, \"keys\": [{\"name\": \"A\xff\"}]}", "last read: '\"A\\xff'"},
        {R"({"keys": []})", "brindle_dump"},
        {R"({"brindle_dump": 2, "keys": []})", "\"brindle_dump\": 2 is a format this tool does"},
        {R"({"brindle_dump": 1, "brindle_dump": 1, "keys": []})",
         "the top level: the field 'brindle_dump' is given twice"},
        {R"({"brindle_dump": 1, "keys": [{"name": "A", "keys": [{"name": "b", "name": "c"}]}]})",
         "keys[0] 'A' > keys[0] 'c': the field 'name' is given twice"},
        {WithProperty(R"({"name": "n", "type": "int", "value": 1, "value": 2})"),
         "keys[0] 'App' > properties[0] 'n': the field 'value' is given twice"},
        {WithProperty(R"({"name": "n", "type": "string", "value": {"base64": "", "base64": ""}})"),
         "properties[0] 'n': the field 'base64' is given twice"},
        {R"({"brindle_dump": 1, "keys": [{"name": "A", "colour": "red"}]})",
         "keys[0]: unknown field 'colour'"},
        {R"({"brindle_dump": 1, "keys": [{"name": ""}]})", "1 to 255 bytes"},
        {R"({"brindle_dump": 1, "keys": [{"name": "A"}, {"name": "A"}]})", "duplicate key name"},
        {R"({"brindle_dump": 1, "at": ["A"], "keys": [{"name": "b", "hidden": true}]})",
         "only main keys"},
        {WithProperty(R"({"name": "n", "type": "int", "value": "5"})"), "must be a JSON number"},
        {WithProperty(R"({"name": "n", "type": "int", "value": 2147483648})"),
         "out of range for int"},
        {WithProperty(R"({"name": "n", "type": "int64", "value": 18446744073709551615})"),
         "out of range for int64"},
        {WithProperty(R"({"name": "n", "type": "int64", "value": 1e30})"), "out of range"},
        {WithProperty(R"({"name": "n", "type": "short", "value": 1.5})"), "whole number"},
        {WithProperty(R"({"name": "n", "type": "float", "value": 1e39})"), "out of range"},
        {WithProperty(R"({"name": "n", "type": "double", "value": 1, "bits": "0x3ff0"})"),
         "16 hex digits"},
        {WithProperty(
             R"({"name": "n", "type": "double", "value": 2, "bits": "0x3ff0000000000000"})"),
         "disagree"},
        {WithProperty(R"({"name": "n", "type": "binary", "base64": "AB=="})"), "invalid base64"},
        {WithProperty(R"({"name": "n", "type": "binary", "value": "AA=="})"),
         "unknown field 'value'"},
        {WithProperty(R"({"name": "n", "type": "datetime", "utc": "2023-02-29T00:00:00Z"})"),
         "malformed date-time"},
        {WithProperty(R"({"name": "n", "type": "datetime", "value": -1})"), "out of range"},
        {WithProperty(R"({"name": "n", "type": "string", "value": "a\u0000b"})"), "NUL"},
        {WithProperty(R"({"name": "n", "type": "decimal", "value": 1})"), "unknown value type"},
        {WithProperty(R"({"name": "n", "type": "int"})"), "needs a 'value'"},
        {WithProperty(R"({"name": "n", "type": "empty"}, {"name": "n", "type": "empty"})"),
         "duplicate property name"},
    };
    for (const auto& [json, expected] : cases) {
        const std::string error = LoadError(json);
        EXPECT_NE(error.find(expected), std::string::npos)
            << json << "\n  gave: " << (error.empty() ? "(accepted)" : error);
        EXPECT_EQ(error.find("json.exception"), std::string::npos) << error;
    }
    // Faults name the key and the property they are in, and stay short however deep they are.
    std::string nested = R"({"name": "k"})";
    for (int level = 0; level < 1001; ++level) {
        nested = R"({"name": "k", "keys": [)" + nested + "]}";
    }
    const std::string deep = LoadError(R"({"brindle_dump": 1, "keys": [)" + nested + "]}");
    EXPECT_NE(deep.find("nested more than 1000 levels"), std::string::npos) << deep;
    EXPECT_LT(deep.size(), 500u) << deep.size();
    EXPECT_NE(LoadError(WithProperty(R"({"name": "a", "type": "empty"},
                                        {"name": "port", "type": "short", "value": 70000})"))
                  .find("keys[0] 'App' > properties[1] 'port'"),
              std::string::npos);
}

}  // namespace
}  // namespace brindle::tool
