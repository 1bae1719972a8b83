#include "brindle/tool_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <streambuf>
#include <string_view>

#include "brindle/integrity.h"
#include "brindle/tool_error.h"
#include "brindle_diagnostics.h"

namespace brindle::tool {

// A buffered stream onto one file descriptor that remembers why a write failed.
class DescriptorBuffer : public std::streambuf {
public:
    explicit DescriptorBuffer(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
    ~DescriptorBuffer() override { sync(); }

    int Error() const { return error_; }

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
        while (left > 0 && error_ == 0) {
            const ssize_t written = ::write(fd_, data, left);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                error_ = written < 0 ? errno : ENOSPC;
                break;
            }
            data += written;
            left -= static_cast<std::size_t>(written);
        }
        // After a failure the rest is dropped: the command's status reports it.
        setp(buffer_, buffer_ + sizeof buffer_);
        return error_ == 0;
    }

    int fd_;
    int error_ = 0;
    char buffer_[1 << 16];
};

namespace {

DescriptorBuffer& OutputBuffer() {
    static DescriptorBuffer buffer(STDOUT_FILENO);
    return buffer;
}

// The library's lines while they are held back, each followed by '\n'. The library may write
// from its own threads while the tool reads them.
struct HeldLines {
    std::mutex mutex;
    std::string text;
};

HeldLines& Held() {
    static HeldLines held;
    return held;
}

void HoldLine(std::string_view line) {
    HeldLines& held = Held();
    std::lock_guard<std::mutex> lock(held.mutex);
    held.text.append(line);
    held.text.push_back('\n');
}

// One write per line, so that the tool's own messages on standard error never split one.
void WriteLineToStandardError(std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stderr);
}

// Lines the library writes on every run, failed or not; they never explain a failure.
bool IsChatter(const std::string& line) {
    return line.empty() || line.find("thread join ok") != std::string::npos;
}

std::string Describe(int error) {
    return std::strerror(error);
}

}  // namespace

void SeparateLibraryOutput(bool live) {
    const DiagnosticSink sink = live ? WriteLineToStandardError : HoldLine;
    SetDiagnosticSink(sink);
    SetInternalDiagnosticSink(sink);
}

std::vector<std::string> LibraryLines() {
    std::string text;
    {
        HeldLines& held = Held();
        std::lock_guard<std::mutex> lock(held.mutex);
        text = held.text;
    }
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(start, end - start);
        if (!IsChatter(line)) {
            lines.push_back(std::move(line));
        }
        start = end + 1;
    }
    return lines;
}

std::ostream& ToolOutput() {
    static std::ostream stream(&OutputBuffer());
    return stream;
}

bool ToolOutputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

int FinishToolOutput() {
    ToolOutput().flush();
    return OutputBuffer().Error();
}

ReplacingFile::ReplacingFile(const std::string& target) : target_(ResolveOutputTarget(target)) {
    std::string pattern = ScratchPattern(target_);
    fd_ = ::mkstemp(pattern.data());  // made 0600: nobody else reads the text while it grows
    if (fd_ < 0) {
        throw ToolError("cannot write '" + target_.given + "': " + Describe(errno));
    }
    scratch_ = pattern;
    buffer_ = std::make_unique<DescriptorBuffer>(fd_);
    stream_ = std::make_unique<std::ostream>(buffer_.get());
}

ReplacingFile::~ReplacingFile() {
    stream_.reset();
    buffer_.reset();
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!scratch_.empty()) {
        ::unlink(scratch_.c_str());
    }
}

std::ostream& ReplacingFile::Stream() {
    return *stream_;
}

void ReplacingFile::Commit() {
    stream_->flush();
    int error = buffer_->Error();
    if (error == 0 && ::fchmod(fd_, target_.mode) != 0) {
        error = errno;
    }
    if (error == 0 && ::fsync(fd_) != 0) {
        error = errno;
    }
    if (::close(fd_) != 0 && error == 0) {
        error = errno;
    }
    fd_ = -1;
    if (error == 0 && ::rename(scratch_.c_str(), target_.path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        throw ToolError("cannot write '" + target_.given + "': " + Describe(error));
    }
    scratch_.clear();
}

}  // namespace brindle::tool
