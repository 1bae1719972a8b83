#include <filesystem>

#include "tool_fixture.h"

namespace tooltest {
namespace {

TEST_F(ToolTest, DumpLoadDumpGivesTheSameText) {
    // Nested keys, a generated key name and a name holding a slash, with values whose text
    // forms are easy to get wrong (each type's exact form is the codec's own test).
    Ok({"mkkey", "-p", "App\\net\\a/b"});
    Ok({"mkkey", "Other"});
    Ok({"set", "App", "text", "tab\tand \"quotes\" and ünïcödé"});
    Ok({"set", "App/net", "double", "-t", "double", "0.30000000000000004"});
    Ok({"set", "App/net", "blob", "-t", "binary", "AP8AAQ=="});
    Ok({"set", "App\\net\\a/b", "when", "-t", "datetime", "2038-01-19T03:14:08Z"});
    const std::string generated = Ok({"mkkey", "--generate", "App/net"});
    Ok({"set", generated.substr(0, generated.size() - 1), "far", "-t", "datetime",
        "@99999999999999"});
    const std::string first = Ok({"dump"});
    Write("first.json", first);

    const std::string copy = Database("copy");
    const ToolRun load = BrindleOn(copy, {"load", File("first.json")});
    ASSERT_EQ(load.status, 0) << load.err;
    EXPECT_EQ(load.out, "loaded 5 keys and 5 properties from " + File("first.json") + "\n");
    EXPECT_EQ(BrindleOn(copy, {"dump"}).out, first);
    // Loading again merges: nothing changes.
    EXPECT_EQ(BrindleOn(copy, {"load", "-"}, {.input = first}).status, 0);
    EXPECT_EQ(BrindleOn(copy, {"dump"}).out, first);

    // A dump of one key records where it sits and goes back there.
    const std::string part = Ok({"dump", "App/net"});
    EXPECT_NE(part.find("\"at\": [\n    \"App\"\n  ]"), std::string::npos) << part;
    const std::string third = Database("third");
    EXPECT_EQ(BrindleOn(third, {"load", "-"}, {.input = part}).status, 0);
    EXPECT_EQ(BrindleOn(third, {"dump", "App/net"}).out, part);
}

TEST_F(ToolTest, LoadRejectsFaultyFilesAndWritesNothing) {
    // Each fault's message is the codec's test; here, that nothing is written.
    const std::string bad[] = {
        R"({"brindle_dump": 1, "keys": [{"name": "App", "properties": [
            {"name": "n", "type": "int", "value": 1}], "keys": [{"name": "sub", "size": 1}]}]})",
        "[1, 2"};
    // Into a database that does not exist yet: not even its files appear.
    for (const std::string& json : bad) {
        EXPECT_TRUE(FailsWith(Brindle({"load", "-"}, json), "nothing was written")) << json;
    }
    EXPECT_FALSE(std::filesystem::exists(Database() + "001"));

    // Into an existing database: its content stays as it was.
    Ok({"mkkey", "App"});
    Ok({"set", "App", "n", "7", "-t", "int"});
    Ok({"mkkey", "Frozen", "--readonly"});
    const std::string before = Ok({"dump", "--all"});
    for (const std::string& json : bad) {
        EXPECT_TRUE(FailsWith(Brindle({"load", "-"}, json), "nothing was written")) << json;
    }

    // Content a main key's flags would refuse half-way is refused up front.
    const std::string frozen = R"({"brindle_dump": 1, "keys": [
        {"name": "App", "properties": [{"name": "n", "type": "int", "value": 8}]},
        {"name": "Frozen", "properties": [{"name": "x", "type": "empty"}]}]})";
    const ToolRun refused = Brindle({"load", "-"}, frozen);
    EXPECT_TRUE(FailsWith(refused, "the main key is read-only (code 51)"));
    EXPECT_TRUE(FailsWith(refused, "nothing was written"));
    const std::string flagged = R"({"brindle_dump": 1, "keys": [
        {"name": "App", "readonly": true, "properties": []},
        {"name": "New", "properties": [{"name": "n", "type": "int", "value": 1}]}]})";
    const ToolRun lacking = Brindle({"load", "-"}, flagged);
    EXPECT_TRUE(FailsWith(lacking, "main key 'App' exists with no flags"));
    EXPECT_TRUE(FailsWith(lacking, "nothing was written"));
    EXPECT_EQ(Ok({"dump", "--all"}), before);

    const ToolRun ignored = Brindle({"load", "--ignore-flags", "-"}, flagged);
    EXPECT_EQ(ignored.status, 0) << ignored.err;
    EXPECT_NE(ignored.err.find("warning: main key 'App'"), std::string::npos) << ignored.err;
    EXPECT_EQ(Ok({"get", "New", "n"}), "1\n");
}

}  // namespace
}  // namespace tooltest
