// One process of a multi-process test: opens a database through the exports as asked and
// writes, reads or holds it, reporting on standard output one line per event, each written
// at once so that a killed process leaves every line it wrote.
//
//   sharing_driver snap-write DB SEED STEPS OPTIONS [PAUSE_US]
//       takes the snapshot plan of SEED from where the database stands to STEPS;
//       "start K", then "step k NS" after each step returned (NS: monotonic clock), "done K"
//   sharing_driver snap-read DB SEED STEPS OPTIONS
//       reads top keys one call at a time until it saw the state after STEPS (or SIGTERM),
//       checking each read against the plan; "reader ok OBSERVATIONS K" or "reader fault ..."
//   sharing_driver count-write DB WRITER UNITS OPTIONS
//       counter units of WRITER from where it stands to UNITS; "unit i" after each
//   sharing_driver count-read DB OPTIONS
//       reads the counter key until SIGTERM, checking each read; "reader ok N" or a fault
//   sharing_driver hold DB OPTIONS
//       "open CODE", then keeps the database open until SIGTERM
//
// OPTIONS: 0, ro (BRN_OPEN_READ_ONLY) or shared (BRN_OPEN_SHARED). Exit status 0 when all
// went as planned, 1 for a failed check, 2 when the open failed, 3 when a call failed, 4 when
// a call threw.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "counter_plan.h"
#include "driver_output.h"
#include "snapshot_plan.h"

namespace brindle::sharing {
namespace {

std::atomic<bool> stop_asked{false};

void AskStop(int) {
    stop_asked.store(true);
}

// Opens the database or ends the process with status 2.
void* OpenOrExit(const char* path, const std::string& options) {
    void* file = nullptr;
    const int result = BRN_OpenFile(path, file, ParseOptions(options));
    if (result != BRN_OK) {
        Say("open failed " + std::to_string(result));
        std::exit(2);
    }
    return file;
}

[[noreturn]] void CallFailed(const std::string& what, int code) {
    Say("call failed " + what + " " + std::to_string(code));
    std::exit(3);
}

int SnapshotWrite(const char* path, unsigned seed, uint32_t steps, const std::string& options,
                  long pause_us) {
    void* file = OpenOrExit(path, options);
    // A writer started after another was killed goes on where the database stands.
    SnapshotState found;
    if (const int result = ReadSnapshotState(file, found); result != BRN_OK) {
        CallFailed("read state", result);
    }
    SnapshotPlan plan(seed);
    while (plan.state() != found) {
        if (plan.done() == steps) {
            Say("fault the database holds no state of the plan");
            return 1;
        }
        plan.Advance();
    }
    Say("start " + std::to_string(plan.done()));
    while (plan.done() < steps) {
        const Step step = plan.Advance();
        std::unique_ptr<Batch> batch;
        if (step.batch) {
            batch = std::make_unique<Batch>(file);
        }
        for (const Call& call : step.calls) {
            if (const int result = PerformCall(file, call); result != BRN_OK) {
                CallFailed("step " + std::to_string(step.number), result);
            }
        }
        if (batch) {
            if (const int result = batch->Commit(); result != BRN_OK) {
                CallFailed("commit of step " + std::to_string(step.number), result);
            }
        }
        Say("step " + std::to_string(step.number) + " " + std::to_string(MonotonicNanos()));
        if (pause_us > 0) {
            usleep(static_cast<useconds_t>(pause_us));
        }
    }
    Say("done " + std::to_string(plan.done()));
    BRN_CloseBRNFHandle(file);
    return 0;
}

// Reads the top keys round and round, one call per read, and finds for each read the first
// state of the plan, no earlier than the one the previous read matched, that the read shows.
// A read showing part of a step, or an older state than an earlier read, matches none.
int SnapshotRead(const char* path, unsigned seed, uint32_t steps, const std::string& options) {
    void* file = OpenOrExit(path, options);
    std::vector<void*> keys(kTopKeys, nullptr);
    for (int i = 0; i < kTopKeys; ++i) {
        if (const int result = BRN_OpenKey(file, keys[i], kSnapshotMainKey, TopKey(i), MODE_OPEN);
            result != BRN_OK) {
            CallFailed("open key", result);
        }
    }
    Say("open");
    SnapshotPlan plan(seed);
    uint64_t observations = 0;
    int final_reads = 0;
    for (; !stop_asked.load() && final_reads < 2 * kTopKeys; ++observations) {
        const int index = static_cast<int>(observations % kTopKeys);
        const bool children = (observations / kTopKeys) % 2 == 1;
        KeyState read;
        const int result = children ? ReadChildren(keys[index], read.children)
                                    : ReadProperties(keys[index], read.properties);
        if (result != BRN_OK) {
            CallFailed("read", result);
        }
        const auto shows = [&](const SnapshotState& state) {
            const KeyState& planned = state.at(TopKey(index));
            return children ? planned.children == read.children
                            : planned.properties == read.properties;
        };
        while (!shows(plan.state())) {
            if (plan.done() == steps) {
                Say("reader fault: read " + std::to_string(observations) + " of " + TopKey(index) +
                    (children ? " children" : " properties") + " shows no state from step " +
                    std::to_string(plan.done()) + " on");
                return 1;
            }
            plan.Advance();
        }
        final_reads = plan.done() == steps ? final_reads + 1 : 0;
    }
    Say("reader ok " + std::to_string(observations) + " " + std::to_string(plan.done()));
    for (void*& key : keys) {
        BRN_CloseBRNHandle(key);
    }
    BRN_CloseBRNFHandle(file);
    return 0;
}

void* OpenCounterKey(void* file) {
    void* key = nullptr;
    if (const int result = BRN_OpenKey(file, key, kCounterMainKey, kCounterKey, MODE_OPEN);
        result != BRN_OK) {
        CallFailed("open key", result);
    }
    return key;
}

int CountWrite(const char* path, int writer, int units, const std::string& options) {
    void* file = OpenOrExit(path, options);
    void* key = OpenCounterKey(file);
    CounterState state;
    if (const int result = ReadCounterState(key, state); result != BRN_OK) {
        CallFailed("read", result);
    }
    Say("start " + std::to_string(state.markers[writer].size()));
    for (int i = static_cast<int>(state.markers[writer].size()); i < units; ++i) {
        std::string failed;
        if (const int result = CountOnce(file, key, writer, i, failed); result != BRN_OK) {
            CallFailed(failed + " of unit " + std::to_string(i), result);
        }
        Say("unit " + std::to_string(i));
    }
    BRN_CloseBRNHandle(key);
    BRN_CloseBRNFHandle(file);
    return 0;
}

int CountRead(const char* path, const std::string& options) {
    void* file = OpenOrExit(path, options);
    void* key = OpenCounterKey(file);
    Say("open");
    uint64_t reads = 0;
    int last_counter = 0;
    for (; !stop_asked.load(); ++reads) {
        CounterState state;
        if (const int result = ReadCounterState(key, state); result != BRN_OK) {
            CallFailed("read", result);
        }
        std::string fault = CounterStateFault(state);
        if (fault.empty() && state.counter < last_counter) {
            fault = "counter " + std::to_string(state.counter) + " after " +
                    std::to_string(last_counter);
        }
        if (!fault.empty()) {
            Say("reader fault: read " + std::to_string(reads) + ": " + fault);
            return 1;
        }
        last_counter = state.counter;
    }
    Say("reader ok " + std::to_string(reads) + " " + std::to_string(last_counter));
    BRN_CloseBRNHandle(key);
    BRN_CloseBRNFHandle(file);
    return 0;
}

int Hold(const char* path, const std::string& options) {
    void* file = nullptr;
    const int result = BRN_OpenFile(path, file, ParseOptions(options));
    Say("open " + std::to_string(result));
    while (!stop_asked.load()) {
        usleep(1000);
    }
    if (result == BRN_OK) {
        BRN_CloseBRNFHandle(file);
    }
    return 0;
}

int Run(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const auto number = [&](int index) { return std::strtol(argv[index], nullptr, 10); };
    if (mode == "snap-write" && (argc == 6 || argc == 7)) {
        return SnapshotWrite(argv[2], static_cast<unsigned>(number(3)),
                             static_cast<uint32_t>(number(4)), argv[5], argc == 7 ? number(6) : 0);
    }
    if (mode == "snap-read" && argc == 6) {
        return SnapshotRead(argv[2], static_cast<unsigned>(number(3)),
                            static_cast<uint32_t>(number(4)), argv[5]);
    }
    if (mode == "count-write" && argc == 6) {
        return CountWrite(argv[2], static_cast<int>(number(3)), static_cast<int>(number(4)),
                          argv[5]);
    }
    if (mode == "count-read" && argc == 4) {
        return CountRead(argv[2], argv[3]);
    }
    if (mode == "hold" && argc == 4) {
        return Hold(argv[2], argv[3]);
    }
    if (mode == "watch" && argc == 4) {
        return WatchChanges(argv[2], argv[3], stop_asked);
    }
    Say("usage: sharing_driver snap-write|snap-read|count-write|count-read|hold|watch ...");
    return 64;
}

}  // namespace
}  // namespace brindle::sharing

int main(int argc, char** argv) {
    signal(SIGTERM, brindle::sharing::AskStop);
    try {
        return brindle::sharing::Run(argc, argv);
    } catch (const MDException& exception) {
        // A call that met a fault it could not answer with a code: say which, for the test.
        brindle::sharing::Say(std::string("exception ") + exception.GetTypeName() + ": " +
                              exception.GetMessage());
        return 4;
    }
}
