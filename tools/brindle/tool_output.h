#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "brindle/output_file.h"

namespace brindle::tool {

// The library writes its diagnostic lines ("Check thread join ok", "Last time DB was
// force-close!!!!" and the like) to standard output unless its host sets a sink. The tool
// keeps standard output for its own results, so that a dump piped into a file never carries
// such a line: it sends them to standard error as they come when `live` (--verbose), and
// otherwise holds them in memory for when a failure needs the library's word.
//
// Call once, first thing; afterwards write every result through ToolOutput().
void SeparateLibraryOutput(bool live);
std::ostream& ToolOutput();
bool ToolOutputIsTerminal();
// Flushes ToolOutput() and returns the errno of the first write that failed on it (0: every
// byte reached standard output).
int FinishToolOutput();
// The library's held-back lines (none when they went live), without the chatter the library
// writes on every run.
std::vector<std::string> LibraryLines();

class DescriptorBuffer;

// An output file the tool writes itself, put in place as output_file.h says.
class ReplacingFile {
public:
    explicit ReplacingFile(const std::string& target);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    std::ostream& Stream();
    // Throws ToolError when any write, the flush to disk or the rename failed.
    void Commit();

private:
    OutputTarget target_;
    std::string scratch_;
    int fd_ = -1;
    std::unique_ptr<DescriptorBuffer> buffer_;
    std::unique_ptr<std::ostream> stream_;
};

}  // namespace brindle::tool
