#include "vell/output.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace vell {
namespace {

std::mutex& OutputMutex() {
    static std::mutex mutex;
    return mutex;
}

void WriteToStandardOutput(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Guarded by OutputMutex().
OutputCapture* current_capture = nullptr;
OutputSink& CurrentSink() {
    static OutputSink sink = WriteToStandardOutput;
    return sink;
}

}  // namespace

void OutputLine(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    OutputText(line);
}

void OutputText(std::string_view line) {
    std::lock_guard<std::mutex> lock(OutputMutex());
    if (current_capture != nullptr) {
        current_capture->Append(line);
        return;
    }
    if (OutputSink& sink = CurrentSink()) {
        sink(line);
    }
}

void SetOutputSink(OutputSink sink) {
    std::lock_guard<std::mutex> lock(OutputMutex());
    CurrentSink() = std::move(sink);
}

void RestoreStandardOutputSink() {
    SetOutputSink(WriteToStandardOutput);
}

OutputCapture::OutputCapture() {
    std::lock_guard<std::mutex> lock(OutputMutex());
    previous_ = current_capture;
    current_capture = this;
}

OutputCapture::~OutputCapture() {
    std::lock_guard<std::mutex> lock(OutputMutex());
    current_capture = previous_;
}

void OutputCapture::Append(std::string_view line) {
    text_ += line;
    text_ += '\n';
}

std::string OutputCapture::Text() const {
    std::lock_guard<std::mutex> lock(OutputMutex());
    return text_;
}

bool OutputCapture::Contains(const std::string& fragment) const {
    return Text().find(fragment) != std::string::npos;
}

}  // namespace vell
