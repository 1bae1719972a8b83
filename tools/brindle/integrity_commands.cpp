#include <memory>

#include "brindle/commands.h"
#include "brindle/integrity.h"
#include "brindle/json_property.h"
#include "brindle/progress.h"
#include "brindle/repair.h"
#include "brindle/tool_error.h"

namespace brindle::tool {
namespace {

Json TextList(const std::vector<std::string>& lines) {
    Json list = Json::array();
    for (const std::string& line : lines) {
        list.push_back(line);
    }
    return list;
}

void PrintFindings(const CheckFindings& findings, bool json, std::ostream& out) {
    if (json) {
        out << Json{{"keys", findings.keys},
                    {"properties", findings.properties},
                    {"pages", findings.pages},
                    {"problems", TextList(findings.problems)},
                    {"freed_links", findings.freed_links},
                    {"leaks", TextList(findings.leaks)},
                    {"sound", findings.Count() == 0}}
                   .dump()
            << '\n';
        return;
    }
    for (const std::string& problem : findings.problems) {
        out << "problem: " << problem << '\n';
    }
    for (const std::string& leak : findings.leaks) {
        out << "leaked: " << leak << '\n';
    }
    out << "checked " << Counted(findings.keys, "key") << ", "
        << Counted(findings.properties, "property", "properties") << " and "
        << Counted(findings.pages, "page") << ": " << Counted(findings.problems.size(), "problem");
    if (findings.freed_links > 0) {
        out << " (" << Counted(findings.freed_links, "link") << " to free pages)";
    }
    out << ", " << Counted(findings.leaks.size(), "leaked page") << '\n';
}

void PrintStats(const DatabaseStats& stats, const std::string& path, bool json, std::ostream& out) {
    if (json) {
        out << Json{{"database", TextToJson(path)},
                    {"data_files", stats.data_files},
                    {"file_bytes", stats.file_bytes},
                    {"page_size", stats.page_size},
                    {"pages", stats.pages},
                    {"free_pages", stats.free_pages},
                    {"keys", stats.keys},
                    {"properties", stats.properties},
                    {"problems", stats.problems}}
                   .dump()
            << '\n';
        return;
    }
    const uint64_t in_use = stats.pages - stats.free_pages;
    out << "database:    " << DisplayText(path, 0) << '\n'
        << "data files:  " << stats.data_files << " (" << stats.file_bytes << " bytes)\n"
        << "page size:   " << stats.page_size << " bytes\n"
        << "pages:       " << stats.pages << " (" << in_use << " in use, " << stats.free_pages
        << " free)\n"
        << "keys:        " << stats.keys << '\n'
        << "properties:  " << stats.properties << '\n'
        << "page bytes:  " << stats.pages * stats.page_size << " ("
        << stats.free_pages * stats.page_size << " free)\n";
    if (stats.problems != 0) {
        out << "warning: the database has " << Counted(stats.problems, "structural problem")
            << "; run check\n";
    }
}

}  // namespace

void AddInspectCommands(CLI::App& app, ToolContext& context) {
    auto json = std::make_shared<bool>(false);
    CLI::App* check = app.add_subcommand(
        "check", "Verify the database's structure; exit status 1 when anything is found");
    check->add_flag("--json", *json, "Print the findings as one JSON object");
    check->callback([json, &context] {
        const BusyIndicator busy("checking");
        const CheckFindings findings = CheckDatabase(context.ReadAccess());
        PrintFindings(findings, *json, *context.out);
        if (findings.Count() != 0) {
            context.exit_status = 1;
        }
    });

    CLI::App* stats =
        app.add_subcommand("stats", "Show data files, pages in use and free, keys, properties");
    stats->add_flag("--json", *json, "Print the figures as one JSON object");
    stats->callback([json, &context] {
        const DatabaseAccess access = context.ReadAccess();
        PrintStats(ReadStats(access), access.path, *json, *context.out);
    });

    auto request = std::make_shared<RepairRequest>();
    CLI::App* repair = app.add_subcommand(
        "repair", "Make the fewest changes that leave a faulted database sound, on a copy");
    repair->add_flag("--in-place", request->in_place, "Repair the database itself, not a copy");
    repair->add_option("-o,--output", request->copy_path,
                       "Base path of the repaired copy (default: the database's own, "
                       "followed by -repaired)");
    repair->callback([request, &context] {
        if (request->in_place && !request->copy_path.empty()) {
            throw UsageError("--in-place and --output exclude each other");
        }
        const BusyIndicator busy("repairing");
        // Repair rewrites pages outside the journal's transactions, and an in-place repair
        // replaces the data files: no other process may have them open meanwhile.
        const RepairOutcome outcome = RepairDatabase(context.ExclusiveAccess(), *request);
        for (const std::string& change : outcome.changes) {
            *context.out << "repaired: " << change << '\n';
        }
        if (outcome.changes.empty()) {
            *context.out << "nothing to repair: " << outcome.repaired << " is sound\n";
        } else {
            *context.out << "sound now: " << outcome.repaired << " ("
                         << Counted(outcome.changes.size(), "change") << ")\n";
        }
    });
}

}  // namespace brindle::tool
