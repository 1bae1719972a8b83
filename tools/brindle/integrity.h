#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "brindle/database_access.h"
#include "brindle_diagnostics.h"

namespace brindle::tool {

// The commands that look inside the database rather than through the exports: they open
// the data files with the library's internal layers (the database must not be open elsewhere
// at the same time; the data files are locked while open). Each opens the existing database
// at access.path and closes it before it returns.

struct CheckFindings {
    std::vector<std::string> problems;
    std::vector<std::string> leaks;  // pages that belong to nothing: harmless, reclaimable
    uint64_t freed_links = 0;        // problems that are links into the free list
    uint64_t keys = 0;
    uint64_t properties = 0;
    uint64_t pages = 0;

    std::size_t Count() const { return problems.size() + leaks.size(); }
};

// Runs the tree verifier over the whole database.
CheckFindings CheckDatabase(const DatabaseAccess& access);

struct DatabaseStats {
    uint32_t data_files = 0;
    uint64_t file_bytes = 0;
    uint32_t page_size = 0;
    uint64_t pages = 0;
    uint64_t free_pages = 0;
    uint64_t keys = 0;
    uint64_t properties = 0;
    std::size_t problems = 0;
};

DatabaseStats ReadStats(const DatabaseAccess& access);

struct MainKeyListing {
    std::string name;
    bool hidden = false;
    bool read_only = false;
};

// Every main key, hidden ones too, with its flags, in byte-wise order. The exports list only
// the keys that are not hidden and tell no flags.
std::vector<MainKeyListing> ListMainKeys(const DatabaseAccess& access);

// The internal layers these commands link in are a copy of their own beside the shared
// library, with their own diagnostic sink; the tool points it where it points the library's.
void SetInternalDiagnosticSink(DiagnosticSink sink);

}  // namespace brindle::tool
