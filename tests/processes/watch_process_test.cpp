// A process watching a main key learns of every change another process commits to it, in
// commit order, or is told that it lost some and must read afresh.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include "process_test_util.h"

namespace brindle::sharing {
namespace {

using testsupport::LinesStartingWith;

// A change as the watch reports it, or as the plan says it must.
struct SeenChange {
    uint64_t sequence = 0;
    std::string kind;
    int64_t nanos = 0;
    std::string path;
    std::string name;
    uint32_t step = 0;  // of the plan's changes: the step that makes it
};

std::vector<SeenChange> PlannedChanges(unsigned seed, uint32_t steps) {
    std::vector<SeenChange> changes;
    SnapshotPlan plan(seed);
    while (plan.done() < steps) {
        const Step step = plan.Advance();
        for (const Call& call : step.calls) {
            SeenChange change;
            change.step = step.number;
            change.path = call.key;
            change.name = call.name;
            switch (call.kind) {
                case CallKind::kEdit:
                case CallKind::kAppend:
                    change.kind = "property-set";
                    break;
                case CallKind::kDelete:
                    change.kind = "property-deleted";
                    break;
                case CallKind::kAddKey:
                case CallKind::kDeleteKey:
                    change.kind = call.kind == CallKind::kAddKey ? "key-added" : "key-deleted";
                    change.path = call.key + "\\" + call.name;
                    change.name.clear();
                    break;
            }
            changes.push_back(change);
        }
    }
    return changes;
}

std::vector<SeenChange> ReceivedChanges(const std::string& output) {
    std::vector<SeenChange> changes;
    for (const std::string& line : LinesStartingWith(output, "change ")) {
        SeenChange change;
        std::istringstream in(line);
        std::string where;
        in >> change.sequence >> change.kind >> change.nanos >> where;
        const size_t bar = where.find('|');
        change.path = where.substr(0, bar);
        change.name = bar == std::string::npos ? "" : where.substr(bar + 1);
        changes.push_back(change);
    }
    return changes;
}

bool Same(const SeenChange& planned, const SeenChange& received) {
    const bool key_change = planned.kind.starts_with("key-");
    return planned.kind == received.kind && planned.path == received.path &&
           (key_change || planned.name == received.name);
}

// Follows the received changes through the plan: each must be the next planned one, or,
// after a resync, a later one. Fills `latency` (nanoseconds, from the writer's return to the
// watch) for each step whose first change arrived; what is wrong, or empty.
std::string FollowPlan(const std::vector<SeenChange>& planned,
                       const std::vector<SeenChange>& received,
                       const std::map<uint32_t, int64_t>& committed,
                       std::vector<int64_t>& latency) {
    size_t next = 0;
    bool lost = false;
    uint64_t last_sequence = 0;
    uint32_t last_step = 0;
    for (size_t i = 0; i < received.size(); ++i) {
        const SeenChange& change = received[i];
        if (change.kind == "resync") {
            lost = true;
            continue;
        }
        while (lost && next < planned.size() && !Same(planned[next], change)) {
            ++next;
        }
        if (next == planned.size() || !Same(planned[next], change)) {
            return "change " + std::to_string(i) + " (" + change.kind + " " + change.path + " " +
                   change.name + ") is not the next of the plan";
        }
        const uint32_t step = planned[next].step;
        if (change.sequence < last_sequence ||
            (step != last_step) != (change.sequence != last_sequence)) {
            return "change " + std::to_string(i) + " has sequence " +
                   std::to_string(change.sequence) + " after " + std::to_string(last_sequence);
        }
        if (step != last_step && committed.count(step) != 0) {
            latency.push_back(change.nanos - committed.at(step));
        }
        last_sequence = change.sequence;
        last_step = step;
        lost = false;
        ++next;
    }
    return next == planned.size() ? ""
                                  : "the watch missed the plan's changes from step " +
                                        std::to_string(planned[next].step);
}

TEST(ProcessWatchTest, AWatchingReaderLearnsEveryChangeOfAWriterInOrder) {
    SharedDatabase db;
    const unsigned seed = 11;
    const uint32_t steps = static_cast<uint32_t>(EnvCount("BRINDLE_PROCESS_STEPS", 1500)) / 2;
    auto watcher = db.Start("watch", {"ro"});
    ASSERT_TRUE(watcher->WaitForLine("watching")) << watcher->Output();
    // Paced, as a host changes its configuration, so that latency is that of one change.
    auto writer = db.Start("snap-write", {std::to_string(seed), std::to_string(steps), "0", "500"});
    const bool writer_ended_well = writer->Succeeded();
    EXPECT_TRUE(EndedWell(*writer));

    const std::vector<SeenChange> planned = PlannedChanges(seed, steps);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (writer_ended_well && std::chrono::steady_clock::now() < end &&
           (ReceivedChanges(watcher->Output()).size() < planned.size())) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    watcher->Signal(SIGTERM);
    EXPECT_TRUE(EndedWell(*watcher));

    std::map<uint32_t, int64_t> committed;
    for (const std::string& line : LinesStartingWith(writer->Output(), "step ")) {
        std::istringstream in(line);
        uint32_t step = 0;
        int64_t nanos = 0;
        in >> step >> nanos;
        committed[step] = nanos;
    }
    std::vector<int64_t> latency;
    EXPECT_EQ(FollowPlan(planned, ReceivedChanges(watcher->Output()), committed, latency), "");
    if (!latency.empty()) {
        std::sort(latency.begin(), latency.end());
        std::printf("watch latency over %zu commits: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                    latency.size(), latency[latency.size() / 2] / 1e6,
                    latency[latency.size() * 99 / 100] / 1e6, latency.back() / 1e6);
    }
}

}  // namespace
}  // namespace brindle::sharing
