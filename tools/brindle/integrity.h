#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "brindle/database_access.h"
#include "brindle_diagnostics.h"

namespace brindle::tool {

// The commands that look inside the database rather than through the exports: they open
// the data files with the library's internal layers. Each opens the existing database at
// access.path and closes it before it returns; check, stats and the listing of main keys
// open it read-only (beside any writer), repair as access.mode says.

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

// The main key an export file's key path begins with, read with the library's own check of
// the file's header and checksum: a file the import would refuse for those is refused here
// first (a ToolError with the import's result code).
std::string ExportFileMainKey(const std::string& file);

// What is wrong with the data files of the database at `base`, found by looking at them:
// "its first data file /x/db001 is empty (0 bytes)", a head that is not a data file's, a
// data file missing or cut short, or the page a library line of the failure names
// ("Read file data failed -- GetPage -- findex:1,pos:10240"). Empty when nothing is found.
// `mendable` is set false when the fault is one repair cannot mend (the files themselves).
std::string DescribeDamage(const std::string& base, const std::vector<std::string>& library_lines,
                           bool& mendable);

// The internal layers these commands link in are a copy of their own beside the shared
// library, with their own diagnostic sink; the tool points it where it points the library's.
void SetInternalDiagnosticSink(DiagnosticSink sink);

}  // namespace brindle::tool
