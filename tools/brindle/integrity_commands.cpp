#include "brindle/commands.h"
#include "brindle/integrity.h"

namespace brindle::tool {

void AddInspectCommands(CLI::App& app, ToolContext& context) {
    CLI::App* check = app.add_subcommand(
        "check", "Verify the database's structure; exit status 1 when anything is found");
    check->callback([&context] {
        if (CheckDatabase(context.DatabasePath(), *context.out) != 0) {
            context.exit_status = 1;
        }
    });

    CLI::App* stats =
        app.add_subcommand("stats", "Show data files, pages in use and free, keys, properties");
    stats->callback([&context] { PrintStats(context.DatabasePath(), *context.out); });
}

}  // namespace brindle::tool
