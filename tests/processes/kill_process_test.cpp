// Any process of several sharing a database killed at a random instant: the others' calls go
// on succeeding and showing whole states, a process started in its place carries on, and the
// database is sound afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "process_test_util.h"

namespace brindle::sharing {
namespace {

using testsupport::ChildProcess;

int Rounds() {
    return EnvCount("BRINDLE_PROCESS_KILL_ROUNDS", 3);
}

void PauseUpTo(std::mt19937& rng, int max_ms) {
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % (max_ms * 1000)));
}

// Kills the process, which must not have ended by itself before; false if it had.
bool KillNow(ChildProcess& process) {
    process.Signal(SIGKILL);
    return process.Killed();
}

// The longest time between two steps the writer reported, in milliseconds: how long a dead
// reader held it up (reported, not asserted).
double LongestPauseMs(const std::string& output) {
    int64_t last = 0;
    int64_t longest = 0;
    for (const std::string& line : testsupport::LinesStartingWith(output, "step ")) {
        const int64_t nanos = std::atoll(line.c_str() + line.find(' ') + 1);
        longest = last != 0 ? std::max(longest, nanos - last) : 0;
        last = nanos;
    }
    return static_cast<double>(longest) / 1e6;
}

void ExpectReaderReachesTheEnd(ChildProcess& reader, bool writer_ended_well) {
    FinishReader(reader, writer_ended_well);
    EXPECT_TRUE(EndedWell(reader));
    EXPECT_EQ(testsupport::LinesStartingWith(reader.Output(), "reader ok ").size(), 1u);
}

TEST(ProcessKillTest, AWriterOrAReaderKilledLeavesTheOtherGoingAndTheDatabaseSound) {
    std::mt19937 rng(2024);
    // Frequent checkpoints, so that some wait on a reader that is killed mid-call.
    ScopedEnvironment checkpoints("BRINDLE_CHECKPOINT_BYTES", "32768");
    const std::string steps = "3000";
    int writers_killed = 0;
    int readers_killed = 0;
    for (int round = 0; round < Rounds(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto began = std::chrono::steady_clock::now();
        SharedDatabase db;
        const std::string seed = std::to_string(300 + round);
        auto reader = db.Start("snap-read", {seed, steps, "ro"});
        ASSERT_TRUE(reader->WaitForLine("open")) << reader->Output();
        auto writer = db.Start("snap-write", {seed, steps, "0"});
        ASSERT_TRUE(writer->WaitForLine("start")) << writer->Output();
        PauseUpTo(rng, 150);
        if (rng() % 2 == 0) {
            const bool killed = KillNow(*writer);
            writers_killed += killed ? 1 : 0;
            // The reader goes on reading what the dead writer left (one that finished may
            // have let it reach the end); a new writer takes the plan on from there,
            // recovering what the dead one left half done.
            PauseUpTo(rng, 50);
            EXPECT_TRUE(!killed || reader->Running()) << reader->Output();
            auto next = db.Start("snap-write", {seed, steps, "0"});
            const bool next_ended_well = next->Succeeded();
            EXPECT_TRUE(EndedWell(*next));
            ExpectReaderReachesTheEnd(*reader, next_ended_well);
        } else {
            if (KillNow(*reader)) {
                ++readers_killed;
            }
            auto next = db.Start("snap-read", {seed, steps, "ro"});
            const bool writer_ended_well = writer->Succeeded();
            EXPECT_TRUE(EndedWell(*writer));
            std::printf("round %d: reader killed, the writer's longest pause %.1f ms\n", round,
                        LongestPauseMs(writer->Output()));
            ExpectReaderReachesTheEnd(*next, writer_ended_well);
        }
        EXPECT_EQ(db.StructureFault(), "");
        std::printf(
            "round %d took %.1f s\n", round,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    }
    std::printf("killed %d writers and %d readers in %d rounds\n", writers_killed, readers_killed,
                Rounds());
}

TEST(ProcessKillTest, ASharedWriterKilledLeavesTheOtherGoingAndNoUnitHalfDone) {
    std::mt19937 rng(4048);
    const int units = 1000;
    for (int round = 0; round < Rounds(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        SharedDatabase db;
        auto reader = db.Start("count-read", {"ro"});
        ASSERT_TRUE(reader->WaitForLine("open")) << reader->Output();
        auto victim = db.Start("count-write", {"1", std::to_string(units), "shared"});
        auto survivor = db.Start("count-write", {"2", std::to_string(units), "shared"});
        ASSERT_TRUE(victim->WaitForLine("start")) << victim->Output();
        PauseUpTo(rng, 100);
        const bool killed = KillNow(*victim);
        EXPECT_TRUE(EndedWell(*survivor));
        // The killed writer's units are a prefix of its plan, none of them half done.
        const CounterState after_kill = db.Counter(BRN_OPEN_READ_ONLY);
        EXPECT_EQ(CounterStateFault(after_kill), "");
        EXPECT_EQ(after_kill.markers.count(2) != 0 ? after_kill.markers.at(2).size() : 0,
                  static_cast<size_t>(units));
        auto restarted = db.Start("count-write", {"1", std::to_string(units), "shared"});
        EXPECT_TRUE(EndedWell(*restarted));
        reader->Signal(SIGTERM);
        EXPECT_TRUE(EndedWell(*reader));

        const CounterState state = db.Counter();
        EXPECT_EQ(CounterStateFault(state), "");
        EXPECT_EQ(state.counter, 2 * units);
        EXPECT_EQ(db.StructureFault(), "");
        std::printf("round %d: writer 1 %s after %zu units\n", round,
                    killed ? "killed" : "had ended",
                    after_kill.markers.count(1) != 0 ? after_kill.markers.at(1).size() : 0);
    }
}

}  // namespace
}  // namespace brindle::sharing
