#include <memory>

#include "brindle/commands.h"
#include "brindle/integrity.h"
#include "brindle/json_property.h"
#include "brindle/progress.h"

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
    out << "checked " << findings.keys << " keys, " << findings.properties << " properties and "
        << findings.pages << " pages: " << findings.problems.size() << " problems";
    if (findings.freed_links > 0) {
        out << " (" << findings.freed_links << " links to free pages)";
    }
    out << ", " << findings.leaks.size() << " leaked pages\n";
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
        out << "warning: the database has " << stats.problems
            << " structural problems; run check\n";
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
        const CheckFindings findings = CheckDatabase(context.Access(false));
        PrintFindings(findings, *json, *context.out);
        if (findings.Count() != 0) {
            context.exit_status = 1;
        }
    });

    CLI::App* stats =
        app.add_subcommand("stats", "Show data files, pages in use and free, keys, properties");
    stats->add_flag("--json", *json, "Print the figures as one JSON object");
    stats->callback([json, &context] {
        const DatabaseAccess access = context.Access(false);
        PrintStats(ReadStats(access), access.path, *json, *context.out);
    });
}

}  // namespace brindle::tool
