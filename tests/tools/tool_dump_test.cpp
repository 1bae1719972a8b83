#include <algorithm>
#include <filesystem>
#include <ostream>
#include <regex>

#include "tool_fixture.h"

namespace tooltest {
namespace {

// The counts a load reports: keys created, properties added, changed, left unchanged.
struct LoadCounts {
    long created = -1, added = -1, changed = -1, unchanged = -1;
    bool operator==(const LoadCounts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const LoadCounts& counts) {
    return out << "{" << counts.created << ", " << counts.added << ", " << counts.changed << ", "
               << counts.unchanged << "}";
}

LoadCounts Counts(const std::string& report) {
    std::smatch match;
    LoadCounts counts;
    if (std::regex_search(
            report, match,
            std::regex(R"(creat\w* (\d+) keys?\D+(\d+) propert\w*\D+(\d+)\D+(\d+) unchanged)"))) {
        counts = {std::stol(match[1]), std::stol(match[2]), std::stol(match[3]),
                  std::stol(match[4])};
    }
    return counts;
}

TEST_F(ToolTest, DumpLoadDumpGivesTheSameText) {
    // Nested keys, a generated key name and a name holding a slash, with values whose text
    // forms are easy to get wrong (each type's exact form is the codec's own test).
    Ok({"mkkey", "-p", "App\\net\\a/b"});
    Ok({"mkkey", "Other"});
    Ok({"set", "App", "text", "tab\tand \"quotes\" and ünïcödé"});
    Ok({"set", "App/net", "double", "-t", "double", "0.30000000000000004"});
    Ok({"set", "App/net", "blob", "-t", "binary", "AP8AAQ=="});
    Ok({"set", "App\\net\\a/b", "when", "-t", "datetime", "2038-01-19T03:14:08Z"});
    const std::string generated = Ok({"mkkey", "--generate", "App/net"});
    Ok({"set", generated.substr(0, generated.size() - 1), "far", "-t", "datetime",
        "@99999999999999"});
    const std::string first = Ok({"dump"});
    Write("first.json", first);

    const std::string copy = Database("copy");
    const ToolRun load = BrindleOn(copy, {"load", File("first.json")});
    ASSERT_EQ(load.status, 0) << load.err;
    EXPECT_EQ(Counts(load.out), (LoadCounts{5, 5, 0, 0}));
    EXPECT_EQ(BrindleOn(copy, {"dump"}).out, first);
    // Loading again merges: nothing changes.
    EXPECT_EQ(BrindleOn(copy, {"load", "-"}, {.input = first}).status, 0);
    EXPECT_EQ(BrindleOn(copy, {"dump"}).out, first);

    // A dump of one key records where it sits and goes back there.
    const std::string part = Ok({"dump", "App/net"});
    EXPECT_NE(part.find("\"at\": [\n    \"App\"\n  ]"), std::string::npos) << part;
    const std::string third = Database("third");
    EXPECT_EQ(BrindleOn(third, {"load", "-"}, {.input = part}).status, 0);
    EXPECT_EQ(BrindleOn(third, {"dump", "App/net"}).out, part);
}

TEST_F(ToolTest, LoadCountsWhatItChangesAndLeavesWhatIsThereAlready) {
    Ok({"mkkey", "Other"});
    // The keys of "at" are created too, and counted.
    const std::string first = R"({"brindle_dump": 1, "at": ["N", "deep", "er"], "keys": [
        {"name": "x", "properties": [{"name": "a", "type": "int", "value": 1},
                                     {"name": "b", "type": "double", "value": 0.5}]}]})";
    EXPECT_EQ(Counts(Brindle({"load", "-n", "-"}, first).out), (LoadCounts{4, 2, 0, 0}));
    EXPECT_EQ(Counts(Brindle({"load", "-"}, first).out), (LoadCounts{4, 2, 0, 0}));

    // What the database holds already, with the same type and bits, is counted and left as
    // it is: its data file does not change.
    const std::string before = Read("db/db001");
    EXPECT_EQ(Counts(Brindle({"load", "-n", "-"}, first).out), (LoadCounts{0, 0, 0, 2}));
    EXPECT_EQ(Counts(Brindle({"load", "-"}, first).out), (LoadCounts{0, 0, 0, 2}));
    EXPECT_TRUE(Read("db/db001") == before) << "the data file changed";

    // Another type or other bits (the sign of a zero) are a change.
    const std::string second = R"({"brindle_dump": 1, "at": ["N", "deep", "er"], "keys": [
        {"name": "x", "properties": [{"name": "a", "type": "short", "value": 1},
                                     {"name": "b", "type": "double", "value": 0.5},
                                     {"name": "c", "type": "double", "value": -0.0}]}]})";
    EXPECT_EQ(Counts(Brindle({"load", "-"}, second).out), (LoadCounts{0, 1, 1, 1}));
    Ok({"set", "N/deep/er/x", "c", "0", "-t", "double"});
    EXPECT_EQ(Counts(Brindle({"load", "-"}, second).out), (LoadCounts{0, 0, 1, 2}));
    EXPECT_NE(Ok({"get", "--json", "N/deep/er/x", "c"}).find("0x8000000000000000"),
              std::string::npos);
}

TEST_F(ToolTest, WhatDumpWritesLoadReadsBack) {
    // A chain of keys as deep as load reads...
    std::string chain = R"({"name": "k"})";
    for (int level = 1; level < 1000; ++level) {
        chain = R"({"name": "k", "keys": [)" + chain + "]}";
    }
    ASSERT_EQ(Brindle({"load", "-"}, R"({"brindle_dump": 1, "keys": [)" + chain + "]}").status, 0);
    const std::string copy = Database("copy");
    EXPECT_EQ(BrindleOn(copy, {"load", "-"}, {.input = Ok({"dump"})}).status, 0);
    EXPECT_EQ(BrindleOn(copy, {"dump"}).out, Ok({"dump"}));

    // ...and one level deeper: dump writes nothing, or load reads back what it writes.
    std::string address = "k";
    for (int level = 1; level <= 1000; ++level) {
        address += "/k";
    }
    Ok({"mkkey", address});
    Ok({"set", address, "deepest", "1"});
    for (const Args& dump : {Args{"dump"}, Args{"dump", "-o", File("deep.json")}}) {
        const ToolRun run = Brindle(dump);
        const std::string text = dump.size() == 1 ? run.out : Read("deep.json");
        if (run.status != 0) {
            EXPECT_EQ(text, "") << "a refused dump wrote something";
            continue;
        }
        const ToolRun load = BrindleOn(Database("again"), {"load", "-"}, {.input = text});
        EXPECT_EQ(load.status, 0) << "load refuses what dump wrote: " << load.err;
    }
}

TEST_F(ToolTest, LoadRejectsFaultyFilesAndWritesNothing) {
    // Each fault's message is the codec's test; here, that nothing is written.
    const std::string bad[] = {
        R"({"brindle_dump": 1, "keys": [{"name": "App", "properties": [
            {"name": "n", "type": "int", "value": 1}], "keys": [{"name": "sub", "size": 1}]}]})",
        "[1, 2"};
    // Into a database that does not exist yet: not even its files appear.
    for (const std::string& json : bad) {
        EXPECT_TRUE(FailsWith(Brindle({"load", "-"}, json), "nothing was written")) << json;
    }
    EXPECT_FALSE(std::filesystem::exists(Database() + "001"));

    // Into an existing database: its content stays as it was.
    Ok({"mkkey", "App"});
    Ok({"set", "App", "n", "7", "-t", "int"});
    Ok({"mkkey", "Frozen", "--readonly"});
    const std::string before = Ok({"dump", "--all"});
    for (const std::string& json : bad) {
        EXPECT_TRUE(FailsWith(Brindle({"load", "-"}, json), "nothing was written")) << json;
    }

    // Content a main key's flags would refuse half-way is refused up front.
    const std::string frozen = R"({"brindle_dump": 1, "keys": [
        {"name": "App", "properties": [{"name": "n", "type": "int", "value": 8}]},
        {"name": "Frozen", "properties": [{"name": "x", "type": "empty"}]}]})";
    const ToolRun refused = Brindle({"load", "-"}, frozen);
    EXPECT_TRUE(FailsWith(refused, "the main key is read-only (code 51)"));
    EXPECT_TRUE(FailsWith(refused, "nothing was written"));
    const std::string flagged = R"({"brindle_dump": 1, "keys": [
        {"name": "App", "readonly": true, "properties": []},
        {"name": "New", "properties": [{"name": "n", "type": "int", "value": 1}]}]})";
    const ToolRun lacking = Brindle({"load", "-"}, flagged);
    EXPECT_TRUE(FailsWith(lacking, "main key 'App' exists with no flags"));
    EXPECT_TRUE(FailsWith(lacking, "nothing was written"));
    EXPECT_EQ(Ok({"dump", "--all"}), before);

    const ToolRun ignored = Brindle({"load", "--ignore-flags", "-"}, flagged);
    EXPECT_EQ(ignored.status, 0) << ignored.err;
    EXPECT_NE(ignored.err.find("warning: main key 'App'"), std::string::npos) << ignored.err;
    EXPECT_EQ(Ok({"get", "New", "n"}), "1\n");
}

// A load is one unit: one that the disk stops half-way leaves the database as it was.
TEST_F(ToolTest, ALoadThatFailsHalfWayLeavesTheDatabaseAsItWas) {
    Ok({"mkkey", "-p", "App/before"});
    Ok({"set", "App/before", "kept", "1", "-t", "int"});
    const std::string before = Ok({"dump", "--all"});
    std::string keys;
    for (int k = 0; k < 300; ++k) {
        keys += std::string(k == 0 ? "" : ",") + R"({"name": "k)" + std::to_string(k) +
                R"(", "properties": [{"name": "p", "type": "string", "value": ")" +
                std::string(400, 'x') + R"("}]})";
    }
    Write("big.json", R"({"brindle_dump": 1, "at": ["App"], "keys": [)" + keys + "]}");
    // Files of the database may grow by 64 KiB: the journal of a load that commits piece by
    // piece would pass that after a few keys.
    std::uintmax_t largest = 0;
    for (const auto& entry : std::filesystem::directory_iterator(File("db"))) {
        largest = std::max(largest, entry.file_size());
    }
    const ToolRun load = BrindleOn(Database(), {"load", File("big.json")},
                                   {.file_size_limit = static_cast<long>(largest + 65536)});
    EXPECT_NE(load.status, 0) << load.err;
    EXPECT_EQ(Ok({"dump", "--all"}), before);
    Ok({"check"});  // exit status 0: sound
}

}  // namespace
}  // namespace tooltest
