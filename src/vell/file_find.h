#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vell {

// What a file search found: the first entry, in name order, that a pattern matches.
struct FoundFile {
    std::string path;
    uint64_t size = 0;  // 0 for a directory
    bool is_directory = false;
};

// Whether something is at a path, and its size. A pattern whose last parts hold the wildcards
// '*' or '?' matches every fitting entry, and the first in name order is taken; any other
// pattern, '[' included, is taken literally. A symbolic link that leads nowhere still counts:
// something is there.
std::optional<FoundFile> FindFirstFile(const std::string& pattern);

}  // namespace vell
