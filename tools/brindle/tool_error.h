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

// Throws a ToolError "<what>: <the code's message> (code N)" unless result is BRN_OK.
void CheckResult(int result, const std::string& what);

}  // namespace brindle::tool
