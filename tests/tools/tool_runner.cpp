#include "tool_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace tooltest {
namespace {

void Pipe(int fds[2]) {
    if (pipe(fds) != 0) {
        throw std::runtime_error("pipe failed");
    }
}

// Feeds the input and drains both outputs together, so that neither side can block on a
// full pipe.
void Exchange(int in_fd, int out_fd, int err_fd, const std::string& input, ToolRun& run) {
    std::size_t written = 0;
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR) {
            break;
        }
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? out_fd : err_fd;
            if (fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
                const ssize_t n = read(fd, buffer, sizeof buffer);
                if (n <= 0) {
                    close(fd);
                    fd = -1;
                } else {
                    (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
        if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR)) != 0) {
            const ssize_t n = write(in_fd, input.data() + written, input.size() - written);
            written += n > 0 ? static_cast<std::size_t>(n) : 0;
            if (n < 0 || written == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0) {
        close(in_fd);
    }
}

}  // namespace

ToolRun RunTool(const std::vector<std::string>& args, const std::string& input) {
    RunSetting setting;
    setting.input = input;
    return RunTool(args, setting);
}

ToolRun RunTool(const std::vector<std::string>& args, const RunSetting& setting) {
    return RunProgram(BRINDLE_TOOL_PATH, args, setting);
}

ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                   const RunSetting& setting) {
    int in[2], out[2], err[2];
    Pipe(in);
    Pipe(out);
    Pipe(err);
    signal(SIGPIPE, SIG_IGN);
    const pid_t child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        if (!setting.stdout_file.empty()) {
            const int fd = open(setting.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
                _exit(126);
            }
            close(fd);
        }
        if (setting.file_size_limit > 0) {
            signal(SIGXFSZ, SIG_IGN);
            const rlim_t limit = static_cast<rlim_t>(setting.file_size_limit);
            const rlimit bound{limit, limit};
            setrlimit(RLIMIT_FSIZE, &bound);
        }
        unsetenv("BRINDLE_DB");
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    ToolRun run;
    Exchange(in[1], out[0], err[0], setting.input, run);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

}  // namespace tooltest
