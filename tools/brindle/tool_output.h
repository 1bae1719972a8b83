#pragma once

#include <ostream>

namespace brindle::tool {

// The library writes its diagnostic lines ("Check thread join ok", "Last time DB was
// force-close!!!!" and the like) to standard output. The tool keeps the real standard output
// for its own results, so that a dump piped into a file never carries such a line, and
// points file descriptor 1 elsewhere: at standard error when `live` (--verbose), otherwise
// at a memory file that is shown on standard error only if the command fails.
//
// Call once, first thing; afterwards write every result through ToolOutput().
void SeparateLibraryOutput(bool live);
std::ostream& ToolOutput();
// Copies the library's held-back lines not shown yet to standard error (nothing when they
// went live).
void ShowLibraryOutput();

}  // namespace brindle::tool
