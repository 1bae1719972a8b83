#pragma once

#include <functional>
#include <string>

namespace vell {

// The one output function of the page pool and the data files: formats a line into a
// 256-byte buffer (longer lines are cut) and puts it on standard output followed by a line
// end. Lines from several threads never interleave.
void OutputLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

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
    friend void OutputLine(const char* format, ...);
    void Append(const char* line);

    OutputCapture* previous_;
    std::string text_;
};

}  // namespace vell
