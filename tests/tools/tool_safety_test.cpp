// The tool run as a new user runs it: what it must never do to their data, and what it must
// say when it cannot do what they asked.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tool_fixture.h"

namespace tooltest {
namespace {

namespace fs = std::filesystem;

TEST_F(ToolTest, DemoNeverWritesIntoADatabaseItDidNotMake) {
    Ok({"mkkey", "-p", "Service/Network"});
    Ok({"set", "Service/Network", "port", "8080", "-t", "short"});
    const std::string before = Ok({"dump", "--all"});

    const ToolRun demo = Brindle({"demo"});
    EXPECT_TRUE(FailsWith(demo, "holds data the demo did not make"));
    EXPECT_EQ(Ok({"dump", "--all"}), before);
    EXPECT_EQ(Ok({"ls", "--all"}), "Service\n");

    // Its own database it may build again; one changed since is the user's.
    const std::string own = Database("demo");
    ASSERT_EQ(BrindleOn(own, {"demo"}).status, 0);
    ASSERT_EQ(BrindleOn(own, {"demo"}).status, 0);
    ASSERT_EQ(BrindleOn(own, {"set", "Service", "mine", "1"}).status, 0);
    EXPECT_TRUE(FailsWith(BrindleOn(own, {"demo"}), "did not make"));
}

TEST_F(ToolTest, OutputThatCannotBeWrittenFailsTheCommand) {
    Ok({"mkkey", "App"});
    Ok({"set", "App", "text", std::string(5000, 'x')});
    for (const auto& args : {std::vector<std::string>{"dump"},
                             {"tree", "-p"},
                             {"get", "App", "text"},
                             {"ls"},
                             {"props", "App"}}) {
        const std::vector<std::string> all = OnDatabase(Database(), args);
        RunSetting full;
        full.stdout_file = "/dev/full";
        EXPECT_TRUE(FailsWith(RunTool(all, full), "No space left on device")) << args[0];
    }

    // A disk that fills up half-way: standard output redirected to a file...
    RunSetting small;
    small.file_size_limit = 2048;
    small.stdout_file = File("out.json");
    EXPECT_TRUE(FailsWith(BrindleWith({"dump"}, small), "File too large"));

    // ...and -o, which leaves the old file whole and no scratch file behind.
    Write("keep.json", "old\n");
    small.stdout_file.clear();
    EXPECT_TRUE(FailsWith(BrindleWith({"dump", "-o", File("keep.json")}, small), "File too large"));
    EXPECT_EQ(Read("keep.json"), "old\n");
    EXPECT_TRUE(FailsWith(Brindle({"dump", "-o", "/dev/full"}), "No space left on device"));
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
    Ok({"set", "Service/Network", "host", "example.org"});  // a new one is a string
    EXPECT_EQ(Ok({"props", "Service/Network"}), "port  int       7\nhost  string    example.org\n");

    // No value is not an empty string; --file - reads standard input.
    EXPECT_EQ(Brindle({"set", "Service", "n"}).status, 2);
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

// Holds the database's lock as another process would, released when the object ends.
class LockHolder {
public:
    explicit LockHolder(const std::string& file) : fd_(open(file.c_str(), O_RDONLY | O_CLOEXEC)) {
        EXPECT_EQ(flock(fd_, LOCK_EX | LOCK_NB), 0);
    }
    ~LockHolder() { Release(); }
    void Release() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_;
};

TEST_F(ToolTest, ALockedDatabaseNamesItsHolderAndCanBeWaitedFor) {
    Ok({"mkkey", "App"});
    LockHolder lock(Database() + "001");
    const std::string in_use = "is in use by process " + std::to_string(getpid());
    const ToolRun ls = Brindle({"ls"});
    EXPECT_TRUE(FailsWith(ls, in_use));
    EXPECT_EQ(ls.err.find("errorid"), std::string::npos) << ls.err;
    EXPECT_TRUE(FailsWith(Brindle({"check"}), in_use));
    EXPECT_TRUE(FailsWith(Brindle({"--wait", "0.3", "ls"}), "(waited"));

    std::thread release([&lock] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        lock.Release();
    });
    const ToolRun waited = Brindle({"--wait", "30", "ls"});
    release.join();
    EXPECT_EQ(waited.status, 0) << waited.err;
    EXPECT_EQ(waited.out, "App\n");
}

TEST_F(ToolTest, AnUnreadableDatabaseIsNamed) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "file permissions do not bind root";
    }
    Ok({"mkkey", "App"});
    fs::permissions(Database() + "001", fs::perms::none);
    EXPECT_TRUE(FailsWith(Brindle({"ls"}), "permission denied: " + Database() + "001"));
    fs::permissions(Database() + "001", fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(ToolTest, ReadingNeverCreatesADatabase) {
    Write("image.brx", "");
    for (const auto& args : std::vector<std::vector<std::string>>{{"ls"},
                                                                  {"props", "A"},
                                                                  {"get", "A", "n"},
                                                                  {"tree"},
                                                                  {"dump"},
                                                                  {"export", "A", File("out.brx")},
                                                                  {"check"},
                                                                  {"stats"},
                                                                  {"set", "A", "n", "1"},
                                                                  {"rmkey", "A"},
                                                                  {"mvkey", "A", "B"},
                                                                  {"unset", "A", "n"}}) {
        const std::vector<std::string> all = OnDatabase(File("typo/db"), args);
        EXPECT_TRUE(FailsWith(RunTool(all), "no database at")) << args[0];
    }
    EXPECT_FALSE(fs::exists(File("typo")));
    EXPECT_EQ(RunTool({"--db", "", "ls"}).status, 2);
    EXPECT_TRUE(FailsWith(RunTool({"--db", "/dev/null", "ls"}), "not a regular file"));
    EXPECT_TRUE(FailsWith(RunTool({"--db", File(""), "mkkey", "A"}), "is a folder"));
    EXPECT_FALSE(fs::exists(File("001")));
}

}  // namespace
}  // namespace tooltest
