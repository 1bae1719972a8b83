#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/whole_file.h"
#include "tool_runner.h"

namespace tooltest {

using Args = std::vector<std::string>;

// A scratch folder with a database path in it; Brindle() runs the tool on that database.
class ToolTest : public ::testing::Test {
protected:
    std::string Database(const std::string& name = "db") const { return dir_.File(name + "/db"); }

    ToolRun Brindle(const Args& args, const std::string& input = "") {
        return BrindleOn(Database(), args, {.input = input});
    }
    ToolRun BrindleOn(const std::string& database, const Args& args,
                      const RunSetting& setting = {}) {
        Args all = {"--db", database};
        all.insert(all.end(), args.begin(), args.end());
        return RunTool(all, setting);
    }
    // Runs a command that must succeed and returns its standard output.
    std::string Ok(const Args& args) {
        const ToolRun run = Brindle(args);
        EXPECT_EQ(run.status, 0) << ::testing::PrintToString(args) << "\n" << run.err;
        return run.out;
    }

    std::string File(const std::string& name) const { return dir_.File(name); }
    void Write(const std::string& name, const std::string& text) const {
        testsupport::WriteWholeFile(dir_.File(name), text);
    }
    std::string Read(const std::string& name) const {
        return testsupport::ReadWholeFile(dir_.File(name));
    }

private:
    testsupport::TempDir dir_;
};

// True when the run failed with a message that contains `fragment`.
inline ::testing::AssertionResult FailsWith(const ToolRun& run, const std::string& fragment) {
    if (run.status == 0) {
        return ::testing::AssertionFailure() << "succeeded; output: " << run.out;
    }
    if (run.err.find(fragment) == std::string::npos) {
        return ::testing::AssertionFailure() << "status " << run.status << ", stderr: " << run.err;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace tooltest
