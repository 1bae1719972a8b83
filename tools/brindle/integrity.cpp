#include "brindle/integrity.h"

#include <filesystem>

#include "brindle.h"
#include "brindle/tool_error.h"
#include "keys/common_tree.h"
#include "keys/config_record.h"
#include "tree/tree_verifier.h"

namespace brindle::tool {
namespace {

std::string DataFileName(const std::string& base, int number) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "%03d", number);
    return base + suffix;
}

// The database opened as BRN_OpenFile opens it (the default configuration with the given
// path), but held as the internal database object so that its pool can be walked.
class InternalDatabase {
public:
    explicit InternalDatabase(const std::string& path) {
        if (!std::filesystem::exists(DataFileName(path, 1))) {
            throw ToolError("no database at '" + path + "' (its first data file " +
                            DataFileName(path, 1) + " does not exist)");
        }
        config_.dataPath = path;
        if (!database_.Open(&config_)) {
            CheckResult(BRN_FAIL, "cannot open the database '" + path + "'");
        }
    }

    PagePool& Pool() { return *database_.Pool(); }

private:
    ConfigRecord config_;
    CommonTree database_;  // after config_, which it uses until it closes
};

uint64_t DataFileBytes(const std::string& base, uint32_t file_count) {
    uint64_t bytes = 0;
    for (uint32_t number = 1; number <= file_count; ++number) {
        std::error_code error;
        const auto size =
            std::filesystem::file_size(DataFileName(base, static_cast<int>(number)), error);
        bytes += error ? 0 : size;
    }
    return bytes;
}

}  // namespace

std::size_t CheckDatabase(const std::string& path, std::ostream& out) {
    InternalDatabase database(path);
    const VerifyReport report = TreeVerifier::Verify(database.Pool());
    for (const std::string& problem : report.problems) {
        out << "problem: " << problem << '\n';
    }
    for (const std::string& leak : report.leaks) {
        out << "leaked: " << leak << '\n';
    }
    out << "checked " << (report.nodes > 0 ? report.nodes - 1 : 0) << " keys, " << report.records
        << " properties and " << database.Pool().PageCount() << " pages: " << report.problems.size()
        << " problems";
    if (report.freed_links > 0) {
        out << " (" << report.freed_links << " links to free pages)";
    }
    out << ", " << report.leaks.size() << " leaked pages\n";
    return report.problems.size() + report.leaks.size();
}

void PrintStats(const std::string& path, std::ostream& out) {
    InternalDatabase database(path);
    PagePool& pool = database.Pool();
    const VerifyReport report = TreeVerifier::Verify(pool);
    const uint64_t pages = pool.PageCount();
    const uint64_t free_pages = report.free_pages;
    out << "database:    " << path << '\n'
        << "data files:  " << pool.FileCount() << " (" << DataFileBytes(path, pool.FileCount())
        << " bytes)\n"
        << "page size:   " << pool.PageSize() << " bytes\n"
        << "pages:       " << pages << " (" << pages - std::min(pages, free_pages) << " in use, "
        << free_pages << " free)\n"
        << "keys:        " << (report.nodes > 0 ? report.nodes - 1 : 0) << '\n'
        << "properties:  " << report.records << '\n'
        << "page bytes:  " << pages * pool.PageSize() << " (" << free_pages * pool.PageSize()
        << " free)\n";
    if (!report.Sound()) {
        out << "warning: the database has " << report.problems.size()
            << " structural problems; run check\n";
    }
}

}  // namespace brindle::tool
