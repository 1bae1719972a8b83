// What scripts rely on: machine-readable output, hidden main keys in listings and backups,
// and variants that succeed quietly or only say what they would do.

#include <nlohmann/json.hpp>

#include "tool_fixture.h"

namespace tooltest {
namespace {

using nlohmann::json;

TEST_F(ToolTest, JsonAndNulSeparatedOutput) {
    Ok({"mkkey", "-p", "App/net"});
    Ok({"mkkey", "-p", "App/line\nbreak"});
    Ok({"set", "App", "port", "8080", "-t", "short"});
    Ok({"set", "App", "blob", "AP8=", "-t", "binary"});

    EXPECT_EQ(json::parse(Ok({"ls", "--json", "App"})), json({"net", "line\nbreak"}));
    EXPECT_EQ(Ok({"ls", "-0", "App"}), std::string("net\0line\nbreak\0", 15));
    EXPECT_EQ(json::parse(Ok({"get", "--json", "App", "port"})),
              json::parse(R"({"name": "port", "type": "short", "value": 8080})"));
    EXPECT_EQ(json::parse(Ok({"props", "--json", "App"})),
              json::parse(R"([{"name": "port", "type": "short", "value": 8080},
                              {"name": "blob", "type": "binary", "base64": "AP8="}])"));

    const json stats = json::parse(Ok({"stats", "--json"}));
    EXPECT_EQ(stats["keys"], 3);
    EXPECT_EQ(stats["data_files"], 1);
    const json check = json::parse(Ok({"check", "--json"}));
    EXPECT_EQ(check["sound"], true);
    EXPECT_EQ(check["problems"], json::array());
}

TEST_F(ToolTest, HiddenMainKeysAreListedAndBackedUpWithAll) {
    Ok({"mkkey", "App"});
    Ok({"mkkey", "Vault", "--hidden"});
    Ok({"mkkey", "Frozen", "--readonly"});
    Ok({"set", "Vault", "token", "s3cr3t"});
    EXPECT_EQ(Ok({"ls"}), "App\nFrozen\n");
    EXPECT_EQ(Ok({"ls", "--all"}), "App\nFrozen  (read-only)\nVault  (hidden)\n");
    EXPECT_EQ(json::parse(Ok({"ls", "-a", "--json"}))[2],
              json::parse(R"({"name": "Vault", "hidden": true, "readonly": false})"));

    const std::string backup = Ok({"dump", "--all"});
    EXPECT_NE(backup.find("\"hidden\": true"), std::string::npos) << backup;
    EXPECT_EQ(Ok({"dump"}).find("Vault"), std::string::npos);

    const std::string copy = Database("copy");
    ASSERT_EQ(BrindleOn(copy, {"load", "-"}, {.input = backup}).status, 0);
    EXPECT_EQ(BrindleOn(copy, {"ls", "--all"}).out, Ok({"ls", "--all"}));
    EXPECT_EQ(BrindleOn(copy, {"dump", "--all"}).out, backup);
}

TEST_F(ToolTest, QuietAndDryRunVariants) {
    Ok({"mkkey", "-p", "App/a/b"});
    Ok({"set", "App/a/b", "n", "1", "-t", "int"});
    EXPECT_EQ(Ok({"get", "--default", "8080", "App", "port"}), "8080\n");
    EXPECT_EQ(Ok({"get", "--default", "x", "App/none", "port"}), "x\n");
    EXPECT_EQ(Ok({"get", "--default", "2", "App/a/b", "n"}), "1\n");

    EXPECT_EQ(Ok({"rmkey", "-f", "App/none"}), "");
    EXPECT_EQ(Ok({"unset", "-f", "App/none", "none"}), "");
    EXPECT_EQ(BrindleOn(Database("absent"), {"rmkey", "-f", "App"}).status, 0);

    const std::string before = Ok({"dump"});
    EXPECT_EQ(Ok({"rmkey", "--dry-run", "App/a"}), "would delete 'App/a': 2 keys and 1 property\n");
    const std::string more = R"({"brindle_dump": 1, "keys": [{"name": "App", "keys": [
        {"name": "a", "properties": [{"name": "m", "type": "int", "value": 2}],
         "keys": [{"name": "b", "properties": [{"name": "n", "type": "int", "value": 3}]}]},
        {"name": "c", "properties": [{"name": "o", "type": "empty"}],
         "keys": [{"name": "d"}]}]}]})";
    EXPECT_EQ(
        Brindle({"load", "--dry-run", "-"}, more).out,
        "would create 2 keys, add 2 properties and change 1 (0 unchanged); nothing was written\n");
    EXPECT_EQ(Ok({"dump"}), before);
    const ToolRun fresh = BrindleOn(Database("fresh"), {"load", "-n", "-"}, {.input = more});
    EXPECT_EQ(fresh.out, "would create the database with 5 keys and 3 properties\n");
    EXPECT_FALSE(std::filesystem::exists(Database("fresh") + "001"));
}

}  // namespace
}  // namespace tooltest
