// brindle: the command-line tool of a Brindle configuration database. It is a host like any
// other and works through the library's exports; only `check` and `stats` reach inside.

#include <cstdio>
#include <iostream>

#include "brindle/commands.h"
#include "brindle/tool_error.h"
#include "brindle/tool_output.h"
#include "md_exception.h"

namespace {

constexpr int kFailure = 1;
constexpr int kUsageError = 2;

// The library's lines of the failed run come first: they often say why.
void Report(const std::string& message) {
    brindle::tool::ShowLibraryOutput();
    std::cerr << "brindle: " << message << std::endl;
}

// Known before the command line is parsed, since the library's lines are routed first.
bool WantsVerbose(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            break;
        }
        if (arg == "-v" || arg == "--verbose") {
            return true;
        }
    }
    return false;
}

int Run(int argc, char** argv) {
    using namespace brindle::tool;
    ToolContext context;
    context.out = &ToolOutput();

    CLI::App app("Inspect, edit, move and check a Brindle configuration database.", "brindle");
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("--db", context.database_option,
                   std::string("Base path of the database files (default: $BRINDLE_DB, else ") +
                       kDefaultDatabasePath + ")")
        ->envname("BRINDLE_DB");
    bool verbose = false;  // acted on by WantsVerbose before parsing
    app.add_flag("-v,--verbose", verbose, "Show the library's diagnostic lines as they come");
    AddKeyCommands(app, context);
    AddPropertyCommands(app, context);
    AddTransferCommands(app, context);
    AddInspectCommands(app, context);
    AddDemoCommand(app, context);
    AddCodesCommand(app, context);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error, *context.out, std::cerr);
        return status == 0 ? 0 : kUsageError;
    }
    return context.exit_status;
}

}  // namespace

int main(int argc, char** argv) {
    brindle::tool::SeparateLibraryOutput(WantsVerbose(argc, argv));
    int status = kFailure;
    try {
        status = Run(argc, argv);
    } catch (const brindle::tool::ToolError& error) {
        Report(error.what());
    } catch (const MDException& error) {
        Report(std::string("the library raised ") + error.GetTypeName() + ": " +
               error.GetMessage());
    } catch (const std::exception& error) {
        Report(error.what());
    }
    brindle::tool::ToolOutput().flush();
    if (status != 0) {
        brindle::tool::ShowLibraryOutput();
    }
    return status;
}
