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

TEST_F(ToolTest, ValuesFromFilesDropTheLineEndATextFileEndsWith) {
    Ok({"mkkey", "App"});
    // As echo and editors write them; binary blocks keep every byte (tested above).
    EXPECT_EQ(Brindle({"set", "App", "n", "-t", "int", "--file", "-"}, "42\n").status, 0);
    Write("when.txt", "2024-03-05\n");
    Ok({"set", "App", "when", "-t", "datetime", "--file", File("when.txt")});
    Write("motd.txt", "two\nlines\n");
    Ok({"set", "App", "motd", "--file", File("motd.txt")});
    EXPECT_EQ(Ok({"get", "--raw", "App", "n"}), "42");
    EXPECT_EQ(Ok({"get", "--raw", "App", "when"}), "2024-03-05T00:00:00Z");
    EXPECT_EQ(Ok({"get", "--raw", "App", "motd"}), "two\nlines");

    // A file that is not what the type reads is refused without its bytes on the terminal.
    Write("junk.bin", std::string("\x01\x1b[31m\xff\xfe\x00z", 9));
    const ToolRun junk = Brindle({"set", "App", "n", "-t", "int", "--file", File("junk.bin")});
    EXPECT_EQ(junk.status, 1);
    for (std::size_t i = 0; i < junk.err.size(); ++i) {
        const auto byte = static_cast<unsigned char>(junk.err[i]);
        EXPECT_TRUE((byte >= 0x20 && byte < 0x7F) || (byte == '\n' && i + 1 == junk.err.size()))
            << "raw byte " << int{byte} << " in: " << junk.err;
    }
}

TEST_F(ToolTest, AnEmptyBinaryValueCanBeSetAgainWithItsType) {
    Ok({"mkkey", "App"});
    Write("empty.bin", "");
    Ok({"set", "App", "blob", "-t", "binary", "--file", File("empty.bin")});
    // The library stores an empty block as an empty value; naming the type sets it again.
    Ok({"set", "App", "blob", "aGk=", "-t", "binary"});
    EXPECT_EQ(Ok({"get", "App", "blob"}), "aGk=\n");
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

TEST_F(ToolTest, ImportGivesAMainKeyItCreatesTheHiddenFlagAskedFor) {
    // An export file does not carry the main key's flags; import --hidden gives it.
    Ok({"mkkey", "Secrets", "--hidden"});
    Ok({"set", "Secrets", "token", "s3cr3t"});
    const std::string image = File("secrets.brx");
    Ok({"export", "Secrets", image});
    for (const Args& import :
         {Args{"import", "--hidden", image}, Args{"import", "--fresh", "--hidden", image}}) {
        const std::string copy = Database("copy" + std::to_string(import.size()));
        const ToolRun run = BrindleOn(copy, import);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(BrindleOn(copy, {"ls", "--all"}).out, "Secrets  (hidden)\n");
        EXPECT_EQ(BrindleOn(copy, {"get", "Secrets", "token"}).out, "s3cr3t\n");
    }

    // A main key that exists keeps its flags: one that lacks the flag is refused whole.
    const std::string plain = Database("plain");
    ASSERT_EQ(BrindleOn(plain, {"mkkey", "Secrets"}).status, 0);
    EXPECT_EQ(BrindleOn(plain, {"import", "--hidden", image}).status, 1);
    EXPECT_EQ(BrindleOn(plain, {"props", "Secrets"}).out, "");
    EXPECT_EQ(BrindleOn(plain, {"ls", "--all"}).out, "Secrets\n");
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
