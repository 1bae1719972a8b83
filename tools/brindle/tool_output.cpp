#include "brindle/tool_output.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <streambuf>

namespace brindle::tool {
namespace {

// A buffered stream onto one file descriptor.
class DescriptorBuffer : public std::streambuf {
public:
    explicit DescriptorBuffer(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
    ~DescriptorBuffer() override { sync(); }

protected:
    int_type overflow(int_type c) override {
        if (!Flush()) {
            return traits_type::eof();
        }
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return Flush() ? 0 : -1; }

private:
    bool Flush() {
        const char* data = pbase();
        std::size_t left = static_cast<std::size_t>(pptr() - pbase());
        while (left > 0) {
            const ssize_t written = ::write(fd_, data, left);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return false;
            }
            data += written;
            left -= static_cast<std::size_t>(written);
        }
        setp(buffer_, buffer_ + sizeof buffer_);
        return true;
    }

    int fd_;
    char buffer_[1 << 16];
};

int g_output_fd = STDOUT_FILENO;
int g_held_fd = -1;  // the memory file holding the library's lines, when held back
off_t g_shown = 0;   // how much of it is on standard error already

}  // namespace

void SeparateLibraryOutput(bool live) {
    std::cout.flush();
    const int saved = ::dup(STDOUT_FILENO);
    if (saved < 0) {
        return;
    }
    const int target = live ? STDERR_FILENO : ::memfd_create("brindle-library-lines", 0);
    if (target < 0 || ::dup2(target, STDOUT_FILENO) < 0) {
        ::close(saved);
        return;
    }
    g_output_fd = saved;
    if (!live) {
        ::close(target);
        g_held_fd = STDOUT_FILENO;
    }
}

void ShowLibraryOutput() {
    std::fflush(stdout);
    if (g_held_fd < 0) {
        return;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = ::pread(g_held_fd, buffer, sizeof buffer, g_shown)) > 0) {
        g_shown += n;
        if (::write(STDERR_FILENO, buffer, static_cast<std::size_t>(n)) != n) {
            break;
        }
    }
}

std::ostream& ToolOutput() {
    static DescriptorBuffer buffer(g_output_fd);
    static std::ostream stream(&buffer);
    return stream;
}

}  // namespace brindle::tool
