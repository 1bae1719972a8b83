#include <filesystem>
#include <functional>

#include "tool_fixture.h"

namespace tooltest {
namespace {

// Nested keys, a generated key name and a name holding a slash, with values whose text
// forms are easy to get wrong (each type's exact form is the codec's own test).
void BuildSample(const std::function<std::string(std::initializer_list<std::string>)>& ok) {
    ok({"mkkey", "-p", "App\\net\\a/b"});
    ok({"mkkey", "Other"});
    ok({"set", "App", "text", "tab\tand \"quotes\" and ünïcödé"});
    ok({"set", "App/net", "double", "-t", "double", "0.30000000000000004"});
    ok({"set", "App/net", "nan", "-t", "double", "nan"});
    ok({"set", "App/net", "blob", "-t", "binary", "AP8AAQ=="});
    ok({"set", "App\\net\\a/b", "when", "-t", "datetime", "2038-01-19T03:14:08Z"});
    const std::string generated = ok({"mkkey", "--generate", "App/net"});
    ok({"set", generated.substr(0, generated.size() - 1), "far", "-t", "datetime",
        "@99999999999999"});
}

TEST_F(ToolTest, DumpLoadDumpGivesTheSameText) {
    BuildSample([this](std::initializer_list<std::string> args) { return Ok(args); });
    const std::string first = Ok({"dump"});
    Write("first.json", first);

    const std::string copy = Database("copy");
    const ToolRun load = BrindleOn(copy, {"load", File("first.json")});
    ASSERT_EQ(load.status, 0) << load.err;
    EXPECT_EQ(load.out, "loaded 5 keys and 6 properties from " + File("first.json") + "\n");
    EXPECT_EQ(BrindleOn(copy, {"dump"}).out, first);
    // Loading again merges: nothing changes.
    EXPECT_EQ(BrindleOn(copy, {"load", "-"}, first).status, 0);
    EXPECT_EQ(BrindleOn(copy, {"dump"}).out, first);

    // A dump of one key records where it sits and goes back there.
    const std::string part = Ok({"dump", "App/net"});
    EXPECT_NE(part.find("\"at\": [\n    \"App\"\n  ]"), std::string::npos) << part;
    const std::string third = Database("third");
    EXPECT_EQ(BrindleOn(third, {"load", "-"}, part).status, 0);
    EXPECT_EQ(BrindleOn(third, {"dump", "App/net"}).out, part);
    EXPECT_EQ(BrindleOn(third, {"get", "App/net", "double"}).out, "0.30000000000000004\n");
}

TEST_F(ToolTest, LoadRejectsFaultyFilesAndWritesNothing) {
    const std::string dump_head = R"({"brindle_dump": 1, "keys": [{"name": "App", "properties": [)";
    const std::pair<std::string, std::string> cases[] = {
        {dump_head + R"({"name": "n", "type": "int", "value": "12"}]}]})", "must be a JSON number"},
        {dump_head + R"({"name": "n", "type": "int", "value": 1, "unit": "ms"}]}]})",
         "unknown field 'unit'"},
        {dump_head + R"({"name": "ok", "type": "empty"}], "keys": [{"name": "sub", "size": 1}]}]})",
         "unknown field 'size'"},
        {"[1, 2", "not valid JSON"},
    };
    // Into a database that does not exist yet: not even its files appear.
    for (const auto& [json, message] : cases) {
        const ToolRun run = Brindle({"load", "-"}, json);
        EXPECT_TRUE(FailsWith(run, message)) << json;
        EXPECT_TRUE(FailsWith(run, "nothing was written")) << json;
    }
    EXPECT_FALSE(std::filesystem::exists(Database() + "001"));

    // Into an existing database: its content stays as it was.
    Ok({"mkkey", "App"});
    Ok({"set", "App", "n", "7", "-t", "int"});
    const std::string before = Ok({"dump"});
    for (const auto& [json, message] : cases) {
        EXPECT_TRUE(FailsWith(Brindle({"load", "-"}, json), message)) << json;
    }
    EXPECT_EQ(Ok({"dump"}), before);

    // Content for a read-only main key would be refused half-way; it is refused up front.
    Ok({"mkkey", "Frozen", "--readonly"});
    const std::string frozen = R"({"brindle_dump": 1, "keys": [
        {"name": "App", "properties": [{"name": "n", "type": "int", "value": 8}]},
        {"name": "Frozen", "properties": [{"name": "x", "type": "empty"}]}]})";
    const ToolRun refused = Brindle({"load", "-"}, frozen);
    EXPECT_TRUE(FailsWith(refused, "the main key is read-only (code 51)"));
    EXPECT_TRUE(FailsWith(refused, "nothing was written"));
    EXPECT_EQ(Ok({"get", "App", "n"}), "7\n");
}

TEST_F(ToolTest, DemoBuildsChecksAndCanRunAgain) {
    for (int run = 0; run < 2; ++run) {
        const ToolRun demo = Brindle({"demo"});
        ASSERT_EQ(demo.status, 0) << demo.err;
        EXPECT_NE(demo.out.find("refused as expected"), std::string::npos);
        EXPECT_NE(demo.out.find("(code 51)"), std::string::npos);
        EXPECT_NE(demo.out.find("0 problems"), std::string::npos);
        EXPECT_NE(demo.out.find("\"name\": \"certificate_fingerprint\""), std::string::npos);
    }
    const std::string tree = Ok({"tree"});
    EXPECT_NE(tree.find("Service/\n  Network/\n    TLS/\n"), std::string::npos) << tree;
    EXPECT_EQ(Ok({"ls", "Service/Sessions"}).find('\n'), Ok({"ls", "Service/Sessions"}).size() - 1)
        << "a second run reuses the generated session key";
}

}  // namespace
}  // namespace tooltest
