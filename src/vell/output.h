#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vell {

// The one way the library's diagnostic lines leave it. OutputLine formats a line into a
// 256-byte buffer (longer lines are cut); OutputText takes a line already built, of any
// length. Either hands the line, without a line end, to the sink: by default standard output,
// where the line is followed by a line end and flushed. Lines from several threads never
// interleave: the sink is called by one thread at a time.
void OutputLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void OutputText(std::string_view line);

// Where lines go from now on. An empty sink drops them.
using OutputSink = std::function<void(std::string_view line)>;
void SetOutputSink(OutputSink sink);
// Standard output again.
void RestoreStandardOutputSink();

// While an OutputCapture lives, lines go to it instead of standard output. Used by tests to
// check diagnostics; captures nest, the newest wins.
class OutputCapture {
public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Every line captured so far, each followed by '\n'.
    std::string Text() const;
    // True when some captured line contains the fragment.
    bool Contains(const std::string& fragment) const;

private:
    friend void OutputText(std::string_view line);
    void Append(std::string_view line);

    OutputCapture* previous_;
    std::string text_;
};

}  // namespace vell
