// A writer process killed at random instants: every call it was told had succeeded is in the
// database after reopening, the call or batch of calls it was in the middle of is there whole
// or not at all, and the structure is sound with no page lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/handles.h"
#include "api_test_util.h"
#include "brindle.h"
#include "brindle_batch.h"
#include "support/change_call.h"
#include "support/temp_dir.h"
#include "tree/tree_verifier.h"
#include "vell/output.h"

namespace brindle {
namespace {

constexpr int kTopKeys = 6;

// Key path below main key "K" -> property name -> stored form of the value.
using Model = std::map<std::string, std::map<std::string, std::string>>;

using Kind = testsupport::ChangeCall;

struct Operation {
    Kind kind;
    std::string path;  // the key the call works on
    std::string name;  // property or child name
    vell::VariableData value;
};

vell::VariableData RandomValue(std::mt19937& rng) {
    if (rng() % 3 == 0) {
        return vell::VariableData(static_cast<int>(rng()));
    }
    // Mostly short, sometimes long enough to run over several pages.
    size_t length = rng() % 4 == 0 ? 900 + rng() % 2500 : 1 + rng() % 60;
    std::string text(length, static_cast<char>('a' + rng() % 26));
    return vell::VariableData(text.c_str());
}

template <typename Map>
auto Pick(const Map& map, std::mt19937& rng) {
    auto it = map.begin();
    std::advance(it, static_cast<long>(rng() % map.size()));
    return it;
}

// The next call, chosen from the model so that it must succeed; mostly edits.
Operation NextOperation(const Model& model, std::mt19937& rng) {
    auto key = Pick(model, rng);
    const std::string& path = key->first;
    const auto& properties = key->second;
    unsigned roll = rng() % 20;
    std::string fresh = "n" + std::to_string(rng() % 100000);
    if (roll < 11 && !properties.empty()) {
        return {Kind::kEdit, path, Pick(properties, rng)->first, RandomValue(rng)};
    }
    if (roll < 14 && properties.size() > 1) {
        return {Kind::kDelete, path, Pick(properties, rng)->first, {}};
    }
    bool top = path.find('\\') == std::string::npos;
    if (roll < 16 && top && model.count(path + "\\" + fresh) == 0) {
        return {Kind::kAddKey, path, fresh, {}};
    }
    if (roll < 18 && !top) {
        return {Kind::kDeleteKey, path, "", {}};
    }
    if (properties.count(fresh) == 0) {
        return {Kind::kAppend, path, fresh, RandomValue(rng)};
    }
    return {Kind::kEdit, path, Pick(properties, rng)->first, RandomValue(rng)};
}

void Apply(Model& model, const Operation& op) {
    switch (op.kind) {
        case Kind::kEdit:
        case Kind::kAppend:
            model[op.path][op.name] = testing_api::StoredForm(op.value);
            break;
        case Kind::kDelete:
            model[op.path].erase(op.name);
            break;
        case Kind::kAddKey:
            model[op.path + "\\" + op.name];
            break;
        case Kind::kDeleteKey:
            model.erase(op.path);
            break;
    }
}

// Runs the call through the exports; BRN_OK or the failing code.
int Perform(void* file, const Operation& op) {
    return testsupport::PerformChange(file, "K", op.path, op.kind, op.name, op.value);
}

Model ReadModel(void* file) {
    Model model;
    std::vector<std::string> pending = {""};
    while (!pending.empty()) {
        std::string path = pending.back();
        pending.pop_back();
        void* key = nullptr;
        EXPECT_EQ(BRN_OpenKey(file, key, "K", path, MODE_OPEN), BRN_OK) << path;
        std::list<std::pair<std::string, vell::VariableData>> properties;
        EXPECT_EQ(BRN_SelectKeyPropertys(key, properties), BRN_OK);
        std::list<std::string> children;
        EXPECT_EQ(BRN_SelectSubKeys(key, children), BRN_OK);
        BRN_CloseBRNHandle(key);
        if (!path.empty()) {
            auto& stored = model[path];
            for (auto& [name, value] : properties) {
                EXPECT_TRUE(stored.emplace(name, testing_api::StoredForm(value)).second)
                    << name << " twice";
            }
        }
        for (const std::string& child : children) {
            pending.push_back(path.empty() ? child : path + "\\" + child);
        }
    }
    return model;
}

// The next unit of work: a single call (0) or a batch of 1 to 4 calls.
int NextUnitSize(std::mt19937& rng) {
    return static_cast<int>(rng() % 5);
}

// The writer: performs calls, alone or in batches, for ever and reports after each unit the
// number of calls done on `report`.
[[noreturn]] void RunWriter(const std::string& db_path, unsigned seed, int report) {
    vell::OutputCapture quiet;
    void* file = nullptr;
    if (BRN_OpenFile(db_path.c_str(), file, 0) != BRN_OK) {
        _exit(2);
    }
    Model model = ReadModel(file);
    std::mt19937 rng(seed);
    for (uint32_t done = 0;;) {
        const int batched = NextUnitSize(rng);
        std::unique_ptr<Batch> batch;
        if (batched > 0) {
            batch = std::make_unique<Batch>(file);
        }
        for (int i = 0; i < std::max(batched, 1); ++i) {
            Operation op = NextOperation(model, rng);
            if (Perform(file, op) != BRN_OK) {
                _exit(3);
            }
            Apply(model, op);
            ++done;
        }
        if (batch && batch->Commit() != BRN_OK) {
            _exit(5);
        }
        if (write(report, &done, sizeof(done)) != sizeof(done)) {
            _exit(4);
        }
    }
}

void CreateDatabase(const std::string& db_path) {
    vell::OutputCapture quiet;
    void* file = nullptr;
    ASSERT_EQ(BRN_OpenFile(db_path.c_str(), file, 0), BRN_OK);
    void* main_key = nullptr;
    ASSERT_EQ(BRN_OpenKey(file, main_key, "K", "", MODE_CREATE), BRN_OK);
    for (int i = 0; i < kTopKeys; ++i) {
        std::string name = "k" + std::to_string(i);
        ASSERT_EQ(BRN_AppendSubKey(main_key, name), BRN_OK);
    }
    BRN_CloseBRNHandle(main_key);
    BRN_CloseBRNFHandle(file);
}

int Rounds() {
    const char* text = std::getenv("BRINDLE_KILL_ROUNDS");
    return text != nullptr ? std::atoi(text) : 20;
}

TEST(KillLoopTest, EveryAcknowledgedCallSurvivesAndTheOneInFlightIsWholeOrAbsent) {
    testsupport::TempDir dir;
    const std::string db_path = dir.File("db");
    CreateDatabase(db_path);
    std::mt19937 timing(12345);
    int whole = 0;
    int absent = 0;
    for (int round = 0; round < Rounds(); ++round) {
        Model start;
        {
            vell::OutputCapture quiet;
            void* file = nullptr;
            ASSERT_EQ(BRN_OpenFile(db_path.c_str(), file, 0), BRN_OK);
            start = ReadModel(file);
            BRN_CloseBRNFHandle(file);
        }
        int pipe_ends[2];
        ASSERT_EQ(pipe(pipe_ends), 0);
        const unsigned seed = 1000u + static_cast<unsigned>(round);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipe_ends[0]);
            RunWriter(db_path, seed, pipe_ends[1]);
        }
        close(pipe_ends[1]);
        uint32_t acknowledged = 0;
        ASSERT_EQ(read(pipe_ends[0], &acknowledged, sizeof(acknowledged)),
                  static_cast<ssize_t>(sizeof(acknowledged)))
            << "the writer stopped before its first call";
        std::this_thread::sleep_for(std::chrono::microseconds(timing() % 40000));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended by itself, status " << status;
        uint32_t number = 0;
        while (read(pipe_ends[0], &number, sizeof(number)) == sizeof(number)) {
            acknowledged = number;
        }
        close(pipe_ends[0]);

        Model expected = start;
        std::mt19937 rng(seed);
        for (uint32_t i = 0; i < acknowledged;) {
            const int unit = std::max(NextUnitSize(rng), 1);
            for (int k = 0; k < unit; ++k, ++i) {
                Apply(expected, NextOperation(expected, rng));
            }
        }
        // The calls of the unit the writer was in when it was killed.
        const int in_flight = std::max(NextUnitSize(rng), 1);
        Model with_next = expected;
        for (int k = 0; k < in_flight; ++k) {
            Apply(with_next, NextOperation(with_next, rng));
        }

        vell::OutputCapture quiet;
        void* file = nullptr;
        ASSERT_EQ(BRN_OpenFile(db_path.c_str(), file, 0), BRN_OK);
        EXPECT_TRUE(quiet.Contains("Last time DB was force-close!!!!")) << "round " << round;
        Model found = ReadModel(file);
        VerifyReport report =
            TreeVerifier::Verify(*static_cast<BRNFHandle*>(file)->database->Pool());
        BRN_CloseBRNFHandle(file);
        EXPECT_TRUE(report.Sound() && report.leaks.empty()) << "round " << round << "\n"
                                                            << report.Text();
        bool is_whole = found == with_next;
        ASSERT_TRUE(found == expected || is_whole)
            << "round " << round << ": after " << acknowledged
            << " acknowledged calls the database holds neither them nor them and the next "
            << in_flight;
        (is_whole && !(found == expected) ? whole : absent) += 1;
    }
    std::printf("kill loop: %d rounds, in-flight call whole %d, absent %d\n", Rounds(), whole,
                absent);
}

}  // namespace
}  // namespace brindle
