#include "tool_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

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
        unsetenv("BRINDLE_DB");
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
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

}  // namespace tooltest
