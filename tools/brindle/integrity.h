#pragma once

#include <cstddef>
#include <ostream>
#include <string>

namespace brindle::tool {

// The two commands that look inside the database rather than through the exports: they open
// the data files with the library's internal layers (the database must not be open elsewhere
// at the same time; the data files are locked while open).

// Runs the tree verifier over the whole database and prints one line per problem, leaked
// pages apart from broken structure. Returns the number of problems (0: sound).
std::size_t CheckDatabase(const std::string& path, std::ostream& out);

// Prints the data files, pages in use and free, keys, properties and bytes.
void PrintStats(const std::string& path, std::ostream& out);

}  // namespace brindle::tool
