#pragma once

// Where the library's diagnostic lines go ("Check thread join ok", "Page ref error" and the
// like). By default each line is written to standard output, followed by a line end. A host
// that keeps standard output for itself, or logs elsewhere, replaces the sink. C++ only; the
// BRN_ functions do not depend on it.

#include <functional>
#include <string_view>

#include "brindle_export.h"

namespace brindle {

// Receives one diagnostic line, without its line end, on the thread that wrote it. Calls never
// overlap. A sink must not call the library.
using DiagnosticSink = std::function<void(std::string_view line)>;

// Every diagnostic line goes to sink from now on; an empty sink drops them. Any thread.
BRN_EXPORT void SetDiagnosticSink(DiagnosticSink sink);

// Back to the default: standard output.
BRN_EXPORT void UseStandardOutputForDiagnostics();

}  // namespace brindle
