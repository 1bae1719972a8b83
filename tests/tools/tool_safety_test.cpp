// The tool run as a new user runs it: what it must never do to their data, and what it must
// say when it cannot do what they asked.

#include <filesystem>

#include "tool_fixture.h"

namespace tooltest {
namespace {

namespace fs = std::filesystem;

TEST_F(ToolTest, DemoBuildsItsOwnDatabaseAndNeverWritesIntoAnother) {
    // Its own database it may build again; one changed since is the user's.
    for (int run = 0; run < 2; ++run) {
        const std::string demo = Ok({"demo"});
        EXPECT_NE(demo.find("refused as expected"), std::string::npos);
        EXPECT_NE(demo.find("0 problems"), std::string::npos);
        EXPECT_NE(demo.find("\"name\": \"certificate_fingerprint\""), std::string::npos);
    }
    EXPECT_NE(Ok({"tree"}).find("Service/\n  Network/\n    TLS/\n"), std::string::npos);
    const std::string sessions = Ok({"ls", "Service/Sessions"});
    EXPECT_EQ(sessions.find('\n'), sessions.size() - 1) << "a second run reuses its session key";
    Ok({"set", "Service", "mine", "1"});
    const std::string before = Ok({"dump", "--all"});
    EXPECT_TRUE(FailsWith(Brindle({"demo"}), "holds data the demo did not make"));
    EXPECT_EQ(Ok({"dump", "--all"}), before);
}

TEST_F(ToolTest, OutputThatCannotBeWrittenFailsTheCommand) {
    Ok({"mkkey", "App"});
    Ok({"set", "App", "text", std::string(5000, 'x')});
    for (const Args& args : {Args{"dump"}, Args{"ls"}}) {
        const ToolRun run = BrindleOn(Database(), args, {.stdout_file = "/dev/full"});
        EXPECT_TRUE(FailsWith(run, "No space left on device")) << args[0];
    }

    // A disk that fills up half-way: standard output redirected to a file...
    RunSetting small{.stdout_file = File("out.json"), .file_size_limit = 2048};
    EXPECT_TRUE(FailsWith(BrindleOn(Database(), {"dump"}, small), "File too large"));

    // ...and -o, which leaves the old file whole and no scratch file behind.
    Write("keep.json", "old\n");
    small.stdout_file.clear();
    EXPECT_TRUE(FailsWith(BrindleOn(Database(), {"dump", "-o", File("keep.json")}, small),
                          "File too large"));
    EXPECT_EQ(Read("keep.json"), "old\n");
    Ok({"dump", "-o", File("keep.json")});
    EXPECT_EQ(Read("keep.json"), Ok({"dump"}));
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(File(""))) {
        entries += entry.path().filename().string().rfind(".keep.json", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(entries, 0u) << "a scratch file was left behind";
}

TEST_F(ToolTest, SetKeepsAPropertysTypeUnlessTheUserChangesIt) {
    Ok({"mkkey", "-p", "Service/Network"});
    Ok({"set", "Service/Network", "port", "8080", "-t", "short"});
    Ok({"set", "Service/Network", "port", "9090"});
    EXPECT_EQ(Ok({"props", "Service/Network"}), "port  short     9090\n");
    EXPECT_TRUE(
        FailsWith(Brindle({"set", "Service/Network", "port", "70000"}), "out of range for short"));
    EXPECT_TRUE(FailsWith(Brindle({"set", "Service/Network", "port", "x", "-t", "string"}),
                          "is a short, not a string"));
    EXPECT_EQ(Ok({"get", "Service/Network", "port"}), "9090\n");
    Ok({"set", "--force", "Service/Network", "port", "x", "-t", "string"});
    Ok({"set", "--edit", "Service/Network", "port", "7", "-t", "int"});
    EXPECT_EQ(Ok({"props", "Service/Network"}), "port  int       7\n");

    EXPECT_EQ(Brindle({"set", "Service", "n", "--file", "-"}, "from stdin").status, 0);
    EXPECT_EQ(Ok({"get", "Service", "n"}), "from stdin\n");
}

TEST_F(ToolTest, NamesAreOnesAnAddressCanReachAgain) {
    Ok({"mkkey", "B"});
    Ok({"mkkey", "-p", "A/e"});
    EXPECT_EQ(Brindle({"mvkey", "B", "x\\y"}).status, 2);
    EXPECT_EQ(Brindle({"mvkey", "A/e", "Other/f"}).status, 2);  // no move to another parent
    EXPECT_EQ(Ok({"ls"}), "A\nB\n");
    Ok({"mvkey", "A/e", "A/f"});  // the address of a key beside: a rename in place
    EXPECT_EQ(Ok({"ls", "A"}), "f\n");
    Ok({"mvkey", "A/f", "A\\g/h"});  // a name holding a slash, written with backslashes
    EXPECT_EQ(Ok({"ls", "A\\g/h"}), "");

    const ToolRun load = Brindle({"load", "-"}, R"({"brindle_dump": 1, "keys": [
        {"name": "A", "keys": [{"name": "a\\b"}]}]})");
    EXPECT_TRUE(FailsWith(load, "cannot hold a backslash"));
    EXPECT_EQ(Ok({"ls", "A"}), "g/h\n");
}

TEST_F(ToolTest, ReadingNeverCreatesADatabase) {
    for (const Args& args : std::vector<Args>{{"ls"},
                                              {"props", "A"},
                                              {"get", "A", "n"},
                                              {"tree"},
                                              {"dump"},
                                              {"export", "A", File("out.brx")},
                                              {"check"},
                                              {"stats"},
                                              {"repair"},
                                              {"set", "A", "n", "1"},
                                              {"rmkey", "A"},
                                              {"mvkey", "A", "B"},
                                              {"unset", "A", "n"},
                                              {"watch"}}) {
        const ToolRun run = BrindleOn(File("typo/db"), args);
        EXPECT_TRUE(FailsWith(run, "no database at")) << args[0];
        EXPECT_TRUE(FailsWith(run, "(code 59)")) << args[0];
    }
    EXPECT_FALSE(fs::exists(File("typo")));
    EXPECT_EQ(RunTool({"--db", "", "ls"}).status, 2);
    EXPECT_TRUE(FailsWith(RunTool({"--db", "/dev/null", "ls"}), "not a regular file"));
    EXPECT_TRUE(FailsWith(RunTool({"--db", File(""), "mkkey", "A"}), "is a folder"));
    EXPECT_FALSE(fs::exists(File("001")));
}

}  // namespace
}  // namespace tooltest
