#pragma once

#include <string>
#include <vector>

namespace tooltest {

// What one run of a built program left behind.
struct ToolRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// How a run's surroundings differ from a plain one.
struct RunSetting {
    std::string input{};        // fed to standard input
    std::string stdout_file{};  // when set, standard output goes to this file (may be /dev/full)
    // When set, the largest file the run may write (RLIMIT_FSIZE, its signal ignored): a
    // write past it fails with EFBIG as on a full disk.
    long file_size_limit = 0;
};

// Runs `program` with `args`. BRINDLE_DB is removed from its environment so that only --db
// decides where the database is.
ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                   const RunSetting& setting = {});

inline ToolRun RunTool(const std::vector<std::string>& args, const RunSetting& setting = {}) {
    return RunProgram(BRINDLE_TOOL_PATH, args, setting);
}

}  // namespace tooltest
