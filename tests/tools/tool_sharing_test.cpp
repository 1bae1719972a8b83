// The tool beside other processes that have the database open: a host holding it alone, hosts
// sharing it, and the changes they make as `watch` reports them.

#include <signal.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tool_fixture.h"

namespace tooltest {
namespace {

// A host process holding the test's database open ("exclusive": options 0, or "shared"),
// having first set App's property `name` to `value`. Closes the database when it ends.
class Host {
public:
    Host(const std::string& database, const std::string& mode, const std::string& value = "v1")
        : program_(BRINDLE_HOLD_PATH, {database, mode, "App", "name", value}) {
        const std::optional<std::string> line = program_.ReadLine();
        holding_ = line && line->rfind("holding ", 0) == 0;
        EXPECT_TRUE(holding_) << program_.Finish(0).err;
    }
    std::string Pid() const { return std::to_string(program_.Pid()); }
    // Lets the database go and waits until the host has closed it.
    void Close() { EXPECT_EQ(program_.Finish(0).status, 0); }

private:
    RunningProgram program_;
    bool holding_ = false;
};

TEST_F(ToolTest, ReadingCommandsWorkWhileAHostHoldsTheDatabaseAlone) {
    Ok({"mkkey", "App"});
    Host host(Database(), "exclusive");
    EXPECT_EQ(Ok({"ls"}), "App\n");
    EXPECT_EQ(Ok({"get", "App", "name"}), "v1\n");
    EXPECT_NE(Ok({"props", "App"}).find("v1"), std::string::npos);
    EXPECT_NE(Ok({"dump"}).find("\"v1\""), std::string::npos);
    EXPECT_NE(Ok({"tree", "-p"}).find("name"), std::string::npos);
    Ok({"export", "App", File("app.brx")});
    EXPECT_NE(Ok({"check"}).find("0 problems"), std::string::npos);
    EXPECT_NE(Ok({"stats"}).find("keys:        1"), std::string::npos);
    EXPECT_NE(Ok({"ls", "-a"}).find("App"), std::string::npos);
    // A reader changes nothing, so the host's state is all there is afterwards.
    host.Close();
    EXPECT_EQ(Ok({"get", "App", "name"}), "v1\n");
}

TEST_F(ToolTest, ChangingCommandsNameTheHostHoldingTheDatabaseAloneAndWaitForIt) {
    Ok({"mkkey", "App"});
    Host host(Database(), "exclusive");
    for (const Args& args : std::vector<Args>{
             {"set", "App", "name", "v2"}, {"mkkey", "App/sub"}, {"rmkey", "App"}, {"repair"}}) {
        const ToolRun run = Brindle(args);
        EXPECT_TRUE(FailsWith(run, "is in use by process " + host.Pid())) << args[0];
        EXPECT_TRUE(FailsWith(run, "(code 57)")) << args[0];
        EXPECT_TRUE(FailsWith(run, "--wait SECONDS")) << args[0];
        EXPECT_EQ(run.err.find("library diagnostic"), std::string::npos) << run.err;
    }
    EXPECT_TRUE(FailsWith(Brindle({"--wait", "0.3", "set", "App", "name", "v2"}),
                          "(waited 0.3 s; code 57)"));

    std::thread release([&host] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        host.Close();
    });
    const ToolRun waited = Brindle({"--wait", "60", "set", "App", "name", "v2"});
    release.join();
    EXPECT_EQ(waited.status, 0) << waited.err;
    EXPECT_EQ(Ok({"get", "App", "name"}), "v2\n");
}

TEST_F(ToolTest, ChangingCommandsShareTheDatabaseButRepairNeedsItAlone) {
    Ok({"mkkey", "App"});
    Host host(Database(), "shared");
    Ok({"set", "App", "name", "v2"});
    Ok({"mkkey", "App/sub"});
    EXPECT_EQ(Ok({"ls", "App"}), "sub\n");
    const ToolRun repair = Brindle({"repair"});
    EXPECT_TRUE(FailsWith(repair, "is open for changes by process " + host.Pid()));
    EXPECT_TRUE(FailsWith(repair, "(code 61)"));
    host.Close();
    EXPECT_EQ(Ok({"get", "App", "name"}), "v2\n");
}

// A watch runs until interrupted; its lines are read as they come.
class Watcher {
public:
    Watcher(const std::string& database, const Args& args)
        : program_(BRINDLE_TOOL_PATH, With(database, args)) {}

    // Makes `change` (a tool command line) until the watch reports one: the watch registers
    // after it starts, and changes made before that are not its to report.
    // True once it did; false when a change failed or the watch never spoke.
    bool WaitUntilWatching(const std::function<ToolRun(int)>& change) {
        for (int attempt = 0; attempt < 600; ++attempt) {
            const ToolRun run = change(attempt);
            if (run.status != 0) {
                ADD_FAILURE() << "the change failed: " << run.err;
                return false;
            }
            if (program_.ReadLine(100)) {
                return true;
            }
        }
        ADD_FAILURE() << "the watch reported nothing: " << program_.Finish(SIGINT).err;
        return false;
    }
    std::optional<std::string> Next() { return program_.ReadLine(); }
    ToolRun Stop() { return program_.Finish(SIGINT); }

private:
    static Args With(const std::string& database, const Args& args) {
        Args all = {"--db", database, "watch"};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    RunningProgram program_;
};

TEST_F(ToolTest, WatchReportsChangesOfOtherProcessesUntilInterrupted) {
    Ok({"mkkey", "App"});
    Ok({"mkkey", "Other"});
    Watcher json(Database(), {"App", "--json"});
    ASSERT_TRUE(json.WaitUntilWatching([this](int n) {
        return Brindle({"set", "App", "ping", std::to_string(n)});
    }));
    Ok({"mkkey", "Other/elsewhere"});  // outside the watched key: not reported
    Ok({"mkkey", "App/sub"});
    Ok({"set", "App/sub", "color", "red"});
    Ok({"unset", "App/sub", "color"});
    Ok({"mvkey", "App/sub", "renamed"});
    Ok({"rmkey", "App/renamed"});

    struct Expected {
        const char* kind;
        const char* path;
        const char* name;
    };
    const Expected expected[] = {{"key-added", "sub", ""},
                                 {"property-set", "sub", "color"},
                                 {"property-deleted", "sub", "color"},
                                 {"key-renamed", "sub", "renamed"},
                                 {"key-deleted", "renamed", ""}};
    uint64_t last_sequence = 0;
    std::size_t matched = 0;
    while (matched < std::size(expected)) {
        const std::optional<std::string> line = json.Next();
        ASSERT_TRUE(line) << "saw " << matched << " of the changes";
        const nlohmann::json change = nlohmann::json::parse(*line);
        if (change["name"] == "ping") {
            continue;  // a late report of a change made while waiting for the watch
        }
        const Expected& want = expected[matched++];
        EXPECT_EQ(change["main"], "App") << *line;
        EXPECT_EQ(change["kind"], want.kind) << *line;
        EXPECT_EQ(change["path"], want.path) << *line;
        EXPECT_EQ(change["name"], want.name) << *line;
        EXPECT_GT(change["seq"].get<uint64_t>(), last_sequence) << *line;
        last_sequence = change["seq"].get<uint64_t>();
    }
    const ToolRun stopped = json.Stop();
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_EQ(stopped.out, "");
}

TEST_F(ToolTest, WatchOfTheWholeDatabaseSaysEachChangeInALine) {
    Ok({"mkkey", "App"});
    Watcher text(Database(), {});
    ASSERT_TRUE(text.WaitUntilWatching([this](int n) {
        return Brindle({"set", "App", "ping", std::to_string(n)});
    }));
    Ok({"mkkey", "-p", "New/a b"});
    std::vector<std::string> lines;
    while (lines.size() < 2) {
        const std::optional<std::string> line = text.Next();
        ASSERT_TRUE(line);
        if (line->find("ping") == std::string::npos) {
            lines.push_back(*line);
        }
    }
    EXPECT_NE(lines[0].find("key-added  New"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("key-added  New/a b"), std::string::npos) << lines[1];
    EXPECT_EQ(text.Stop().status, 0);
    EXPECT_TRUE(FailsWith(Brindle({"watch", "App/missing"}), "(code 14)"));
}

}  // namespace
}  // namespace tooltest
