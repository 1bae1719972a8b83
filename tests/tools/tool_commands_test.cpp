#include <regex>

#include "tool_fixture.h"

namespace tooltest {
namespace {

// One run of each key and property command; what the library answers to each call is the
// library's own test.
TEST_F(ToolTest, KeysAndPropertiesThroughTheirLifecycle) {
    Ok({"mkkey", "App"});
    Ok({"mkkey", "-p", "App/net/tls/deep"});
    Ok({"mkkey", "-p", "App/net/tls/deep"});  // -p accepts what exists
    EXPECT_EQ(Ok({"ls"}), "App\n");
    EXPECT_EQ(Ok({"ls", "App\\net"}), "tls\n");
    EXPECT_TRUE(
        FailsWith(Brindle({"mkkey", "App/net"}), "a key of that name exists already (code 16)"));

    Ok({"set", "App/net", "port", "8080", "--type", "short"});
    Ok({"set", "App/net", "port", "8081", "-t", "short"});  // an existing property is edited
    EXPECT_EQ(Ok({"get", "App/net", "port"}), "8081\n");
    EXPECT_TRUE(FailsWith(Brindle({"set", "--append", "App/net", "port", "1", "-t", "short"}),
                          "(code 19)"));
    EXPECT_TRUE(FailsWith(Brindle({"set", "--edit", "App/net", "host", "x"}), "(code 7)"));
    Ok({"set", "App/net", "host", "example.org"});
    EXPECT_EQ(Ok({"props", "App/net"}),
              "port  short     8081\n"
              "host  string    example.org\n");
    Ok({"unset", "App/net", "port"});
    EXPECT_TRUE(FailsWith(Brindle({"get", "App/net", "port"}), "(code 7)"));

    Ok({"mvkey", "App/net", "network"});
    Ok({"mkkey", "App/other"});
    Ok({"rmkey", "App/other"});
    EXPECT_EQ(Ok({"ls", "App"}), "network\n");

    const std::string generated = Ok({"mkkey", "--generate", "App"});
    EXPECT_TRUE(std::regex_match(generated, std::regex("App/[0-9]+\n"))) << generated;
}

TEST_F(ToolTest, SetParsesValuesStrictlyAndWritesNothingWhenTheyAreBad) {
    Ok({"mkkey", "App"});
    // Each parser's refusals are tested with the parser; here, that a refusal writes nothing.
    EXPECT_TRUE(
        FailsWith(Brindle({"set", "App", "n", "2147483648", "-t", "int"}), "out of range for int"));
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

TEST_F(ToolTest, TreeShowsKeysToADepthWithOrWithoutProperties) {
    Ok({"mkkey", "-p", "App/net/tls"});
    Ok({"mkkey", "-p", "App/log"});
    Ok({"mkkey", "Zoo"});
    Ok({"set", "App/net", "port", "8080", "-t", "int"});
    Ok({"set", "App/net", "motd", "two\nlines"});
    EXPECT_EQ(Ok({"tree"}), "App/\n  net/\n    tls/\n  log/\nZoo/\n");
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
    EXPECT_EQ(BrindleOn(copy, {"import", image}).status, 0);  // without --fresh: a merge
}

TEST_F(ToolTest, CheckAndStatsLookInsideTheDatabase) {
    Ok({"mkkey", "-p", "App/a/b"});
    Ok({"set", "App/a", "x", "1", "-t", "int"});
    Ok({"set", "App/a/b", "y", std::string(3000, 'y')});  // runs over several pages
    const std::string check = Ok({"check"});
    EXPECT_NE(check.find("checked 3 keys, 2 properties"), std::string::npos) << check;
    const std::string stats = Ok({"stats"});
    EXPECT_NE(stats.find("keys:        3\n"), std::string::npos) << stats;
    EXPECT_NE(stats.find("data files:  1"), std::string::npos) << stats;
}

}  // namespace
}  // namespace tooltest
