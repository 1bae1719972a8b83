#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "api/handles.h"
#include "brindle.h"
#include "counter_plan.h"
#include "snapshot_plan.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "tree/tree_verifier.h"
#include "vell/output.h"

namespace brindle::sharing {

// A number from the environment, for runs longer than the quick default.
inline int EnvCount(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

// Sets an environment variable, which the processes started meanwhile inherit, and puts
// back what it was when the object ends.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        const char* previous = std::getenv(name);
        had_ = previous != nullptr;
        previous_ = had_ ? previous : "";
        Set(value);
    }
    ~ScopedEnvironment() {
        if (had_) {
            setenv(name_, previous_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    void Set(const std::string& value) const { setenv(name_, value.c_str(), 1); }

private:
    const char* name_;
    bool had_;
    std::string previous_;
};

// A directory with a database holding the snapshot plan's initial state and the counter key,
// and the driver processes started on it.
class SharedDatabase {
public:
    SharedDatabase() : path_(dir_.File("db")) {
        vell::OutputCapture quiet;
        void* file = nullptr;
        EXPECT_EQ(BRN_OpenFile(path_.c_str(), file, 0), BRN_OK);
        EXPECT_EQ(CreateSnapshotKeys(file), BRN_OK);
        EXPECT_EQ(CreateCounterKeys(file), BRN_OK);
        BRN_CloseBRNFHandle(file);
    }

    const std::string& path() const { return path_; }
    const testsupport::TempDir& dir() const { return dir_; }

    // Starts the driver with these arguments after its mode, the database path inserted
    // first; its output goes to a file of its own.
    std::unique_ptr<testsupport::ChildProcess> Start(const std::string& mode,
                                                     const std::vector<std::string>& args) {
        std::vector<std::string> argv = {SHARING_DRIVER_PATH, mode, path_};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<testsupport::ChildProcess>(
            argv, dir_.File("out" + std::to_string(++started_)));
    }

    // Opens the database with options 0, as after every other process ended, and says what is
    // wrong with its structure (empty when it is sound and loses no page).
    std::string StructureFault() const {
        vell::OutputCapture quiet;
        void* file = nullptr;
        const int result = BRN_OpenFile(path_.c_str(), file, 0);
        if (result != BRN_OK) {
            return "reopen gave " + std::to_string(result) + "\n" + quiet.Text();
        }
        VerifyReport report =
            TreeVerifier::Verify(*static_cast<BRNFHandle*>(file)->database->Pool());
        BRN_CloseBRNFHandle(file);
        return report.Sound() && report.leaks.empty() ? "" : report.Text();
    }

    // The counter key as one read shows it, with the database opened with `options`.
    CounterState Counter(unsigned options = 0) const {
        vell::OutputCapture quiet;
        CounterState state;
        void* file = nullptr;
        EXPECT_EQ(BRN_OpenFile(path_.c_str(), file, options), BRN_OK) << quiet.Text();
        void* key = nullptr;
        EXPECT_EQ(BRN_OpenKey(file, key, kCounterMainKey, kCounterKey, MODE_OPEN), BRN_OK);
        EXPECT_EQ(ReadCounterState(key, state), BRN_OK);
        BRN_CloseBRNHandle(key);
        BRN_CloseBRNFHandle(file);
        return state;
    }

private:
    testsupport::TempDir dir_;
    std::string path_;
    int started_ = 0;
};

// The process ended by exit(0); else its output, for the failure message.
inline ::testing::AssertionResult EndedWell(testsupport::ChildProcess& process) {
    if (process.Succeeded()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "process " << process.pid() << " ended with status " << process.Wait()
           << ", its last output:\n"
           << process.Output().substr(
                  process.Output().size() > 2000 ? process.Output().size() - 2000 : 0);
}

// Waits for a snapshot reader to end on its own at the plan's last step, which it reaches soon
// after the writer ended well; stops it at once when the writer did not, or when it never
// gets there.
inline void FinishReader(testsupport::ChildProcess& reader, bool writer_ended_well) {
    if (!writer_ended_well || !reader.WaitForLine("reader", std::chrono::seconds(30))) {
        reader.Signal(SIGTERM);
    }
}

}  // namespace brindle::sharing
