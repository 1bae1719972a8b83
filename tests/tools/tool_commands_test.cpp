#include <regex>

#include "tool_fixture.h"

namespace tooltest {
namespace {

TEST_F(ToolTest, KeysAndPropertiesThroughTheirLifecycle) {
    Ok({"mkkey", "App"});
    Ok({"mkkey", "App/net"});
    Ok({"mkkey", "-p", "App/net/tls/deep"});
    Ok({"mkkey", "-p", "App/net/tls/deep"});  // -p accepts what exists
    EXPECT_EQ(Ok({"ls"}), "App\n");
    EXPECT_EQ(Ok({"ls", "App\\net"}), "tls\n");
    EXPECT_TRUE(
        FailsWith(Brindle({"mkkey", "App/net"}), "a key of that name exists already (code 16)"));

    Ok({"set", "App/net", "port", "8080", "--type", "short"});
    EXPECT_EQ(Ok({"get", "App/net", "port"}), "8080\n");
    Ok({"set", "App/net", "port", "8081", "-t", "short"});  // an existing property is edited
    EXPECT_EQ(Ok({"get", "App/net", "port"}), "8081\n");
    EXPECT_TRUE(FailsWith(Brindle({"set", "--append", "App/net", "port", "1", "-t", "short"}),
                          "already has a property of that name (code 19)"));
    EXPECT_TRUE(FailsWith(Brindle({"set", "--edit", "App/net", "host", "x"}),
                          "the key has no property of that name (code 7)"));
    Ok({"set", "App/net", "host", "example.org"});
    EXPECT_EQ(Ok({"props", "App/net"}),
              "port  short     8081\n"
              "host  string    example.org\n");
    Ok({"unset", "App/net", "port"});
    EXPECT_TRUE(FailsWith(Brindle({"get", "App/net", "port"}), "(code 7)"));

    Ok({"mvkey", "App/net", "network"});
    EXPECT_EQ(Ok({"ls", "App"}), "network\n");
    EXPECT_EQ(Ok({"get", "App/network", "host"}), "example.org\n");
    Ok({"mkkey", "App/other"});
    Ok({"rmkey", "App/network"});
    EXPECT_EQ(Ok({"ls", "App"}), "other\n");

    // Main keys can be renamed but not deleted with the library's configuration.
    Ok({"mvkey", "App", "Application"});
    EXPECT_EQ(Ok({"ls"}), "Application\n");
    EXPECT_TRUE(FailsWith(Brindle({"rmkey", "Application"}),
                          "main keys may not be deleted in this database (code 54)"));

    const std::string generated = Ok({"mkkey", "--generate", "Application"});
    EXPECT_TRUE(std::regex_match(generated, std::regex("Application/[0-9]+\n"))) << generated;
}

TEST_F(ToolTest, SetParsesValuesStrictlyAndWritesNothingWhenTheyAreBad) {
    Ok({"mkkey", "App"});
    // Each parser's refusals are tested with the parser; here, that a refusal writes nothing.
    EXPECT_TRUE(
        FailsWith(Brindle({"set", "App", "n", "2147483648", "-t", "int"}), "out of range for int"));
    EXPECT_TRUE(FailsWith(Brindle({"set", "App", "n", "AB==", "-t", "binary"}), "invalid base64"));
    EXPECT_EQ(Ok({"props", "App"}), "");

    Ok({"set", "App", "n", "-t", "int", "--", "-5"});
    EXPECT_EQ(Ok({"get", "App", "n"}), "-5\n");
    Ok({"set", "App", "e", "-t", "empty"});
    EXPECT_EQ(Ok({"get", "App", "e"}), "\n");

    const std::string blob("\x00\xFF\x10\n", 4);
    Write("blob.bin", blob);
    Ok({"set", "App", "blob", "-t", "binary", "--file", File("blob.bin")});
    EXPECT_EQ(Ok({"get", "App", "blob"}), "AP8QCg==\n");
    EXPECT_EQ(Ok({"get", "--raw", "App", "blob"}), blob);
}

TEST_F(ToolTest, ReadOnlyAndHiddenMainKeys) {
    Ok({"mkkey", "Frozen", "--readonly"});
    Ok({"mkkey", "Secret", "--hidden"});
    const std::string refusal = "the main key is read-only (code 51)";
    EXPECT_TRUE(FailsWith(Brindle({"set", "Frozen", "x", "1"}), refusal));
    EXPECT_TRUE(FailsWith(Brindle({"mkkey", "App/sub", "--readonly"}), "main keys only"));

    // Listings of hidden main keys are tested with the scripting variants; by name they work.
    Ok({"set", "Secret", "token", "abc"});
    EXPECT_EQ(Ok({"get", "Secret", "token"}), "abc\n");
    EXPECT_NE(Ok({"dump", "Frozen"}).find("\"readonly\": true"), std::string::npos);
}

TEST_F(ToolTest, TreeShowsKeysToADepthWithOrWithoutProperties) {
    Ok({"mkkey", "-p", "App/net/tls"});
    Ok({"mkkey", "-p", "App/log"});
    Ok({"mkkey", "Zoo"});
    Ok({"set", "App/net", "port", "8080", "-t", "int"});
    Ok({"set", "App/net", "motd", "two\nlines"});
    EXPECT_EQ(Ok({"tree"}), "App/\n  net/\n    tls/\n  log/\nZoo/\n");
    EXPECT_EQ(Ok({"tree", "--depth", "1"}), "App/\nZoo/\n");
    EXPECT_EQ(Ok({"tree", "App", "-d", "1"}), "App/\n  net/\n  log/\n");
    EXPECT_EQ(Ok({"tree", "App/net", "--props"}),
              "net/\n  port = 8080  [int]\n  motd = two\\nlines  [string]\n  tls/\n");
}

TEST_F(ToolTest, ExportAndImportMoveASubtreeBetweenDatabases) {
    Ok({"mkkey", "-p", "App/net/tls"});
    Ok({"set", "App/net", "port", "8080", "-t", "int"});
    Ok({"set", "App/net/tls", "pin", "AAEC", "-t", "binary"});
    const std::string image = File("net.brx");
    Ok({"export", "App/net", image});
    EXPECT_TRUE(
        FailsWith(Brindle({"export", "App/net", image}),
                  "the export file exists already (use --overwrite to replace it) (code 47)"));
    Ok({"export", "--overwrite", "App/net", image});

    const std::string copy = Database("copy");
    EXPECT_EQ(BrindleOn(copy, {"import", "--fresh", image}).status, 0);
    EXPECT_EQ(BrindleOn(copy, {"tree", "--props"}).out, Ok({"tree", "--props"}));
    EXPECT_TRUE(FailsWith(BrindleOn(copy, {"import", "--fresh", image}), "(code 16)"));
    EXPECT_EQ(BrindleOn(copy, {"import", image}).status, 0);  // without --fresh: a merge
    EXPECT_TRUE(FailsWith(BrindleOn(copy, {"import", File("missing.brx")}),
                          "the import file does not exist (code 48)"));
}

TEST_F(ToolTest, CheckAndStatsLookInsideTheDatabase) {
    EXPECT_TRUE(FailsWith(Brindle({"check"}), "no database at"));
    Ok({"mkkey", "-p", "App/a/b"});
    Ok({"set", "App/a", "x", "1", "-t", "int"});
    Ok({"set", "App/a/b", "y", std::string(3000, 'y')});  // runs over several pages
    const std::string check = Ok({"check"});
    EXPECT_NE(check.find("checked 3 keys, 2 properties"), std::string::npos) << check;
    EXPECT_NE(check.find("0 problems"), std::string::npos) << check;
    const std::string stats = Ok({"stats"});
    EXPECT_NE(stats.find("keys:        3\n"), std::string::npos) << stats;
    EXPECT_NE(stats.find("properties:  2\n"), std::string::npos) << stats;
    EXPECT_NE(stats.find("data files:  1"), std::string::npos) << stats;
}

TEST_F(ToolTest, UsageErrorsAndTheCodeTable) {
    EXPECT_EQ(Brindle({}).status, 2);
    EXPECT_EQ(Brindle({"get", "App"}).status, 2);
    EXPECT_EQ(Brindle({"--help"}).status, 0);

    // The README's table of result codes is the tool's own table.
    const std::string text = testsupport::ReadWholeFile(BRINDLE_SOURCE_DIR "/README.md");
    const std::string table = Ok({"codes", "--markdown"});
    EXPECT_NE(text.find(table), std::string::npos) << "README.md lacks the table:\n" << table;
}

}  // namespace
}  // namespace tooltest
