#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/whole_file.h"

namespace testsupport {

// A program run in a process of its own, its standard output and error going to a file so
// that every line it wrote before it died can be read, however it ended. The process is
// killed and reaped when the object ends, if it still runs.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& output_path)
        : output_path_(output_path) {
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        const int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (output < 0) {
            throw std::runtime_error("cannot create " + output_path);
        }
        pid_ = fork();
        if (pid_ < 0) {
            close(output);
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            dup2(output, STDOUT_FILENO);
            dup2(output, STDERR_FILENO);
            execv(args[0], args.data());
            _exit(127);
        }
        close(output);
    }
    ~ChildProcess() {
        if (Running()) {
            Signal(SIGKILL);
            Wait();
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // True while the process has not ended.
    bool Running() {
        if (!reaped_ && waitpid(pid_, &status_, WNOHANG) == pid_) {
            reaped_ = true;
        }
        return !reaped_;
    }
    void Signal(int signal) const {
        if (!reaped_) {
            kill(pid_, signal);
        }
    }
    // Waits for the process to end; its wait status (the same on later calls).
    int Wait() {
        if (!reaped_) {
            waitpid(pid_, &status_, 0);
            reaped_ = true;
        }
        return status_;
    }
    // True when the process ended by exit(0).
    bool Succeeded() {
        const int status = Wait();
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    bool Killed() {
        const int status = Wait();
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
    // Everything the process wrote so far.
    std::string Output() const { return ReadWholeFile(output_path_); }
    // Waits until the output holds a line starting with `prefix`; false when the process
    // ended without one or `limit` passed. The limit only keeps a broken run from hanging.
    bool WaitForLine(const std::string& prefix,
                     std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            const std::string text = "\n" + Output();
            if (text.find("\n" + prefix) != std::string::npos) {
                return true;
            }
            if (!Running()) {
                return ("\n" + Output()).find("\n" + prefix) != std::string::npos;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

private:
    std::string output_path_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

// The lines of a process's output that start with `prefix`, without it.
inline std::vector<std::string> LinesStartingWith(const std::string& text,
                                                  const std::string& prefix) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (text.compare(start, prefix.size(), prefix) == 0) {
            lines.push_back(text.substr(start + prefix.size(), end - start - prefix.size()));
        }
        start = end + 1;
    }
    return lines;
}

}  // namespace testsupport
