// What the tool prints: the same escaping everywhere, bounded lines, usage errors with
// status 2, and the library's lines only where they explain something.

#include "tool_fixture.h"

namespace tooltest {
namespace {

TEST_F(ToolTest, ListingsEscapeAndBoundWhatTheyShow) {
    Ok({"mkkey", "App"});
    Ok({"mkkey", std::string("Ctl\x01key", 7)});
    const ToolRun missing = Brindle({"tree", "Nope"});
    EXPECT_TRUE(FailsWith(missing, "(code 13)"));
    EXPECT_EQ(missing.out, "");

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
    EXPECT_NE(props.find("blob  binary    enp6"), std::string::npos) << props;
    EXPECT_NE(props.find("...\n"), std::string::npos) << props;
    EXPECT_GT(Ok({"props", "--full", "App"}).size(), 133000u);

    // They are cut after 60 characters, however many bytes each takes.
    std::string accents;
    for (int i = 0; i < 70; ++i) {
        accents += "\xc3\xa9";
    }
    Ok({"unset", "App", "blob"});
    Ok({"set", "App", "odd", accents});
    EXPECT_EQ(Ok({"props", "App"}), "odd   string    " + accents.substr(0, 120) + "...\n");
}

TEST_F(ToolTest, UsageErrorsExitTwoAndSayWhatIsWrong) {
    Ok({"mkkey", "App"});
    Write("value.txt", "v");
    for (const Args& args : std::vector<Args>{{},
                                              {"get", "App"},
                                              {"mkkey", ""},
                                              {"set", "-t", "bogus", "App", "n", "1"},
                                              {"set", "--append", "--edit", "App", "n", "1"},
                                              {"mkkey", "App/b", "--hidden"},
                                              {"set", "App", "n", "v", "--file", File("value.txt")},
                                              {"set", "App", "n"},
                                              {"ls", "--json", "-0"},
                                              {"tree", "-d", "-1"},
                                              {"repair", "--in-place", "-o", File("x")},
                                              {"--wait", "abc", "ls"},
                                              {"ls", "--bogus"},
                                              {"frobnicate"}}) {
        const ToolRun run = Brindle(args);
        EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args) << ": " << run.err;
        EXPECT_LT(run.err.size(), 200u) << run.err;
        // One line of the tool's own form, as every failure.
        EXPECT_EQ(run.err.rfind("brindle: ", 0), 0u) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
        EXPECT_EQ(run.err.find("Check thread"), std::string::npos) << run.err;
    }
    EXPECT_TRUE(FailsWith(Brindle({"frobnicate"}), "unknown command 'frobnicate'"));
    EXPECT_EQ(Ok({"props", "App"}), "");
    EXPECT_EQ(Brindle({"--help"}).status, 0);
    EXPECT_NE(Ok({"--version"}).find("library 0."), std::string::npos);

    // The README's table of result codes is the tool's own table.
    const std::string text = testsupport::ReadWholeFile(BRINDLE_SOURCE_DIR "/README.md");
    const std::string table = Ok({"codes", "--markdown"});
    EXPECT_NE(text.find(table), std::string::npos) << "README.md lacks the table:\n" << table;
}

// The wording of what the tool says where a new user tripped, one row each.
TEST_F(ToolTest, MessagesSayWhatHappenedAndWhatToDo) {
    struct Case {
        Args args;
        int status;
        std::string says;  // on standard output or standard error
    };
    Ok({"mkkey", "-p", "App/leaf"});
    Ok({"set", "App/leaf", "p", "1"});
    Ok({"set", "App", "text", "x"});
    Ok({"set", "App", "blob", "-t", "binary", ""});
    Write("one.json", R"({"brindle_dump": 1, "keys": [{"name": "One"}]})");
    const Case cases[] = {
        {{"set", "App", "text", "1", "-t", "int"}, 1, "is a string, not an int;"},
        {{"set", "App", "empty", "-t", "binary", ""},
         0,
         "now has the type empty; set it again with -t binary"},
        {{"set", "App", "blob", "aGk="},
         1,
         "has the type empty (an empty binary block is stored that way)"},
        {{"set", "App", "n", "--file", File("")},
         1,
         "cannot read '" + File("") + "': Is a directory"},
        {{"--wait", "abc", "ls"},
         2,
         "--wait: takes a number of seconds from 0 to 86400, not 'abc'"},
        {{"get", "App"}, 2, "brindle: get: name is required"},
        {{"rmkey", "-n", "App/leaf"}, 0, "would delete 'App/leaf': 1 key and 1 property\n"},
        {{"load", File("one.json")}, 0, ": created 1 key, added 0 properties, changed 0"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Brindle(c.args);
        EXPECT_EQ(run.status, c.status) << ::testing::PrintToString(c.args) << ": " << run.err;
        EXPECT_NE((run.out + run.err).find(c.says), std::string::npos)
            << ::testing::PrintToString(c.args) << " said: " << run.out << run.err;
    }
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

}  // namespace
}  // namespace tooltest
