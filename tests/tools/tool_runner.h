#pragma once

#include <sys/types.h>

#include <optional>
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

// A program left running beside the test: its standard input and output are pipes to the
// test, its standard error a scratch file. Killed and reaped when the object ends.
class RunningProgram {
public:
    RunningProgram(const std::string& program, const std::vector<std::string>& args);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    pid_t Pid() const { return pid_; }
    // The next line of its standard output, without the newline; nothing at the end of the
    // output, or when none came within `patience_ms` (by default a minute: a guard against a
    // hung test, not a timing).
    std::optional<std::string> ReadLine(int patience_ms = 60000);
    // Ends its standard input, which some helpers take as the sign to finish.
    void CloseInput();
    // Sends `signal` (0: none) and waits for the program to end. Returns how it ended (with
    // the rest of its standard output and its standard error), as RunProgram does.
    ToolRun Finish(int signal);

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
    std::string pending_;  // read from the output, not yet returned as a line
};

inline ToolRun RunTool(const std::vector<std::string>& args, const RunSetting& setting = {}) {
    return RunProgram(BRINDLE_TOOL_PATH, args, setting);
}

}  // namespace tooltest
