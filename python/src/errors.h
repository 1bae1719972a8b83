#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

namespace brindle::python {

// A database or key used after it was closed; raised as brindle.Closed.
class ClosedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Installs the translation of the failures that leave the library and the tool's host classes:
// a ToolError becomes the brindle.Error subclass of its result code, an MDException becomes
// brindle.InternalError, a ClosedError brindle.Closed.
void RegisterErrorTranslation();

// Throws the ToolError the exports' result `code` would give, with `what` before its message.
[[noreturn]] void ThrowResult(int code, const std::string& what);

// The rows of the result-code table as (code, name, message) tuples.
pybind11::list ResultCodeRows();

}  // namespace brindle::python
