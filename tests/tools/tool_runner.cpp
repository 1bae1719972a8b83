#include "tool_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <utility>

namespace tooltest {
namespace {

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using ScratchFile = std::unique_ptr<std::FILE, CloseFile>;

// The child's standard streams are unnamed files rather than pipes, so that no side can
// block on the other and nothing has to be drained while the child runs.
ScratchFile Scratch(const std::string& text = "") {
    ScratchFile file(std::tmpfile());
    if (!file || std::fwrite(text.data(), 1, text.size(), file.get()) != text.size() ||
        std::fflush(file.get()) != 0) {
        throw std::runtime_error("cannot make a scratch file");
    }
    std::rewind(file.get());
    return file;
}

std::string Contents(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, n);
    }
    return text;
}

// In the child: runs the program, without BRINDLE_DB in its environment.
[[noreturn]] void Exec(const std::string& program, const std::vector<std::string>& args) {
    unsetenv("BRINDLE_DB");
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

}  // namespace

ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                   const RunSetting& setting) {
    const ScratchFile in = Scratch(setting.input), out = Scratch(), err = Scratch();
    const pid_t child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        dup2(fileno(in.get()), STDIN_FILENO);
        dup2(fileno(out.get()), STDOUT_FILENO);
        dup2(fileno(err.get()), STDERR_FILENO);
        if (!setting.stdout_file.empty()) {
            const int fd = open(setting.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
                _exit(126);
            }
        }
        if (setting.file_size_limit > 0) {
            signal(SIGXFSZ, SIG_IGN);
            const rlim_t limit = static_cast<rlim_t>(setting.file_size_limit);
            const rlimit bound{limit, limit};
            setrlimit(RLIMIT_FSIZE, &bound);
        }
        Exec(program, args);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ToolRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = Contents(out.get());
    run.err = Contents(err.get());
    return run;
}

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& args) {
    int input[2];
    int output[2];
    ScratchFile err = Scratch();
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make pipes");
    }
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        dup2(fileno(err.get()), STDERR_FILENO);
        Exec(program, args);
    }
    close(input[0]);
    close(output[1]);
    input_ = input[1];
    output_ = output[0];
    error_ = dup(fileno(err.get()));
}

RunningProgram::~RunningProgram() {
    if (pid_ > 0) {
        Finish(SIGKILL);
    }
    for (int fd : {input_, output_, error_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

std::optional<std::string> RunningProgram::ReadLine(int patience_ms) {
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        pollfd ready{output_, POLLIN, 0};
        if (poll(&ready, 1, patience_ms) <= 0) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t got = read(output_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return std::nullopt;
        }
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

void RunningProgram::CloseInput() {
    if (input_ >= 0) {
        close(input_);
        input_ = -1;
    }
}

ToolRun RunningProgram::Finish(int signal) {
    ToolRun run;
    if (pid_ <= 0) {
        return run;
    }
    if (signal != 0) {
        kill(pid_, signal);
    }
    CloseInput();
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = std::exchange(pending_, "");
    char buffer[4096];
    for (ssize_t got; (got = read(output_, buffer, sizeof buffer)) > 0;) {
        run.out.append(buffer, static_cast<std::size_t>(got));
    }
    lseek(error_, 0, SEEK_SET);
    for (ssize_t got; (got = read(error_, buffer, sizeof buffer)) > 0;) {
        run.err.append(buffer, static_cast<std::size_t>(got));
    }
    return run;
}

}  // namespace tooltest
