#pragma once

#include <string>
#include <vector>

namespace brindle {

// The two ways a key path below a main key is cut into the names of its levels. Both
// return false, leaving `parts` empty, only for an empty path.

// Levels separated by one backslash: "a\b\c" gives a, b, c. Pieces may be empty ("a\\b"
// has an empty middle level, "a\" an empty last one). A path without a backslash, or one
// that begins with a backslash, is a single level named by the whole path.
bool SplitKeyPath(const std::string& path, std::vector<std::string>& parts);

// Dotted levels, each named by its full dotted prefix: "a.b.c" gives a, a.b, a.b.c. This
// matches the names generated for unnamed sub keys (a parent's name, a dot and a number).
// A path without a dot, or one that begins with a dot, is a single level.
bool SplitDottedPath(const std::string& path, std::vector<std::string>& parts);

}  // namespace brindle
