// What the tool prints: the same escaping everywhere, bounded lines, usage errors with
// status 2, and the library's lines only where they explain something.

#include "tool_fixture.h"

namespace tooltest {
namespace {

TEST_F(ToolTest, ListingsEscapeAndBoundWhatTheyShow) {
    Ok({"mkkey", "App"});
    Ok({"mkkey", std::string("Ctl\x01key", 7)});
    EXPECT_TRUE(FailsWith(Brindle({"tree", "Nope"}), "(code 13)"));
    EXPECT_EQ(Brindle({"tree", "Nope"}).out, "");

    // ls, tree and props show a name or value the same way: controls and non-UTF-8 bytes
    // escaped, UTF-8 kept.
    EXPECT_EQ(Ok({"ls"}), "App\nCtl\\x01key\n");
    EXPECT_EQ(Ok({"tree"}), "App/\nCtl\\x01key/\n");
    Ok({"set", "App", "odd", "-t", "string", "--",
        "a\x01"
        "b\xff"
        "c\xc3\xa9"});
    EXPECT_EQ(Ok({"props", "App"}), "odd   string    a\\x01b\\xffc\xc3\xa9\n");
    EXPECT_EQ(Ok({"tree", "-p", "App"}), "App/\n  odd = a\\x01b\\xffc\xc3\xa9  [string]\n");

    // Long values are cut as in a tree, unless asked for whole.
    Write("big.bin", std::string(100000, 'z'));
    Ok({"set", "App", "blob", "-t", "binary", "--file", File("big.bin")});
    const std::string props = Ok({"props", "App"});
    EXPECT_LT(props.size(), 300u) << props;
    EXPECT_NE(props.find("blob  binary    enp6"), std::string::npos) << props;
    EXPECT_NE(props.find("...\n"), std::string::npos) << props;
    EXPECT_GT(Ok({"props", "--full", "App"}).size(), 133000u);

    const ToolRun depth = Brindle({"tree", "-d", "-1"});
    EXPECT_EQ(depth.status, 2);
    EXPECT_LT(depth.err.size(), 200u) << depth.err;

    std::string nested = R"({"name": "k"})";
    for (int level = 0; level < 1001; ++level) {
        nested = R"({"name": "k", "keys": [)" + nested + "]}";
    }
    const ToolRun deep = Brindle({"load", "-"}, R"({"brindle_dump": 1, "keys": [)" + nested + "]}");
    EXPECT_TRUE(FailsWith(deep, "nested more than 1000 levels"));
    EXPECT_LT(deep.err.size(), 500u) << deep.err.size();
}

TEST_F(ToolTest, UsageErrorsExitTwoAndSayWhatIsWrong) {
    Ok({"mkkey", "App"});
    Write("value.txt", "v");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"mkkey", ""},
             {"set", "-t", "bogus", "App", "n", "1"},
             {"set", "--append", "--edit", "App", "n", "1"},
             {"mkkey", "App/b", "--hidden"},
             {"set", "App", "n", "v", "--file", File("value.txt")},
             {"set", "App", "n"},
             {"ls", "--json", "-0"},
             {"frobnicate"}}) {
        const std::vector<std::string> all = OnDatabase(Database(), args);
        const ToolRun run = RunTool(all);
        EXPECT_EQ(run.status, 2) << Describe({}) << " " << args[0] << ": " << run.err;
        EXPECT_EQ(run.err.find("Check thread"), std::string::npos) << run.err;
    }
    EXPECT_TRUE(FailsWith(Brindle({"frobnicate"}), "unknown command 'frobnicate'"));
    EXPECT_EQ(Ok({"props", "App"}), "");

    const std::string version = Ok({"--version"});
    EXPECT_NE(version.find("brindle 0."), std::string::npos) << version;
    EXPECT_NE(version.find("library 0."), std::string::npos) << version;
}

TEST_F(ToolTest, TheLibrarysLinesAreShownOnlyWhenTheyExplainAFailure) {
    // A fresh database makes the library log its failed first load; a failure that the
    // result code explains shows only the tool's line.
    Ok({"mkkey", "App"});
    const ToolRun missing = Brindle({"get", "App", "nope"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err,
              "brindle: cannot read property 'nope' of 'App': the key has no property of that "
              "name (code 7)\n");
    const ToolRun fresh = BrindleOn(Database("fresh"), {"mkkey", "App/sub"});
    EXPECT_EQ(fresh.err, "brindle: cannot open key 'App': no main key of that name (code 13)\n");

    // With -v they come as they are written, on standard error and never on standard output.
    const ToolRun verbose = BrindleOn(Database("third"), {"-v", "mkkey", "App"});
    EXPECT_EQ(verbose.status, 0);
    EXPECT_EQ(verbose.out, "");
    EXPECT_NE(verbose.err, "");
}

TEST_F(ToolTest, LoadRefusesAFlagAnExistingMainKeyLacks) {
    Ok({"mkkey", "App"});
    const std::string frozen = R"({"brindle_dump": 1, "keys": [
        {"name": "App", "readonly": true, "properties": []},
        {"name": "New", "properties": [{"name": "n", "type": "int", "value": 1}]}]})";
    const ToolRun refused = Brindle({"load", "-"}, frozen);
    EXPECT_TRUE(FailsWith(refused, "main key 'App' exists with no flags"));
    EXPECT_TRUE(FailsWith(refused, "nothing was written"));
    EXPECT_EQ(Ok({"ls"}), "App\n");

    const ToolRun ignored = Brindle({"load", "--ignore-flags", "-"}, frozen);
    EXPECT_EQ(ignored.status, 0) << ignored.err;
    EXPECT_NE(ignored.err.find("warning: main key 'App'"), std::string::npos) << ignored.err;
    EXPECT_EQ(Ok({"get", "New", "n"}), "1\n");
}

}  // namespace
}  // namespace tooltest
