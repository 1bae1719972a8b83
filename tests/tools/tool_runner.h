#pragma once

#include <string>
#include <vector>

namespace tooltest {

// What one run of the built `brindle` executable left behind.
struct ToolRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs the tool with `args`, feeding `input` to its standard input. BRINDLE_DB is removed
// from its environment so that only --db decides where the database is.
ToolRun RunTool(const std::vector<std::string>& args, const std::string& input = "");

}  // namespace tooltest
