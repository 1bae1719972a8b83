#include "brindle/integrity.h"

#include <algorithm>
#include <filesystem>

#include "brindle/internal_database.h"
#include "pool/journal.h"
#include "tree/tree_verifier.h"
#include "vell/output.h"

namespace brindle::tool {
namespace {

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

// The verifier counts the root among the nodes; users count keys.
uint64_t KeysOf(const VerifyReport& report) {
    return report.nodes > 0 ? report.nodes - 1 : 0;
}

// The walks below only read: they open the database read-only whatever the command holds it
// with, so that they run beside its writers, and each walks one snapshot: its call scope
// keeps other processes' checkpoints off the pages it reads until it is done.
DatabaseAccess Reading(const DatabaseAccess& access) {
    DatabaseAccess reading = access;
    reading.create = false;
    reading.mode = OpenMode::kReadOnly;
    return reading;
}

}  // namespace

CheckFindings CheckDatabase(const DatabaseAccess& access) {
    InternalDatabase database(Reading(access));
    const CommonTree::CallScope snapshot(database.Database());
    VerifyReport report = TreeVerifier::Verify(database.Pool());
    CheckFindings findings;
    findings.problems = std::move(report.problems);
    findings.leaks = std::move(report.leaks);
    findings.freed_links = report.freed_links;
    findings.keys = KeysOf(report);
    findings.properties = report.records;
    findings.pages = database.Pool().PageCount();
    // A journal found damaged is never cut silently. A writing open keeps it aside and
    // replays what comes before the damage; this read-only open only read up to the damage.
    const std::string damaged = Journal::DamagedPathFor(access.path);
    std::error_code error;
    if (database.Pool().JournalWasDamaged()) {
        findings.problems.push_back("the journal is damaged: " + database.Pool().JournalDamage() +
                                    "; the next writing open keeps it in " + damaged);
    } else if (std::filesystem::exists(damaged, error)) {
        findings.problems.push_back(
            "the journal was found damaged when the database was opened; it is kept in " + damaged +
            " and the changes after the damage were not replayed");
    }
    return findings;
}

DatabaseStats ReadStats(const DatabaseAccess& access) {
    InternalDatabase database(Reading(access));
    const CommonTree::CallScope snapshot(database.Database());
    Pager& pool = database.Pool();
    const VerifyReport report = TreeVerifier::Verify(pool);
    DatabaseStats stats;
    stats.data_files = pool.FileCount();
    stats.file_bytes = DataFileBytes(access.path, pool.FileCount());
    stats.page_size = pool.PageSize();
    stats.pages = pool.PageCount();
    stats.free_pages = std::min(stats.pages, report.free_pages);
    stats.keys = KeysOf(report);
    stats.properties = report.records;
    stats.problems = report.problems.size();
    return stats;
}

std::vector<MainKeyListing> ListMainKeys(const DatabaseAccess& access) {
    InternalDatabase database(Reading(access));
    const CommonTree::CallScope snapshot(database.Database());
    CommonTree& tree = database.Database();
    std::vector<std::pair<uint64_t, std::string>> children;
    if (!tree.Tree()->GetSubNodes(tree.Root(), children)) {
        CheckResult(BRN_ERR_DATA, "cannot list the main keys");
    }
    std::vector<MainKeyListing> keys;
    for (const auto& [node, name] : children) {
        const MainKeyInfo* record = tree.FindMainKey(name);
        keys.push_back(
            {name, record != nullptr && record->Hidden(), record != nullptr && record->ReadOnly()});
    }
    std::sort(keys.begin(), keys.end(),
              [](const MainKeyListing& a, const MainKeyListing& b) { return a.name < b.name; });
    return keys;
}

void SetInternalDiagnosticSink(DiagnosticSink sink) {
    vell::SetOutputSink(std::move(sink));
}

}  // namespace brindle::tool
