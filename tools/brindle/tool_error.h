#pragma once

#include <stdexcept>
#include <string>

namespace brindle::tool {

// A failure the tool reports to the user and then stops on. `code` is the library's result
// code when an export refused (the message then ends with that code's text), or 0 for
// failures the tool finds itself (bad input, a malformed file).
class ToolError : public std::runtime_error {
public:
    explicit ToolError(const std::string& message, int code = 0)
        : std::runtime_error(message), code_(code) {}

    int code() const { return code_; }

private:
    int code_;
};

// A command line the tool cannot act on (exit status 2): found before anything is opened.
class UsageError : public ToolError {
public:
    explicit UsageError(const std::string& message) : ToolError(message) {}
};

// An export's refusal. Some codes (BRN_FAIL, BRN_ERR_EXCEPTION and the like) say little;
// for those the library's own diagnostic lines are shown with the message.
class LibraryError : public ToolError {
public:
    using ToolError::ToolError;
    // True when the code alone does not say what went wrong.
    bool NeedsDiagnostics() const;
};

// Throws a LibraryError "<what>: <the code's message> (code N)" unless result is BRN_OK.
void CheckResult(int result, const std::string& what);

}  // namespace brindle::tool
