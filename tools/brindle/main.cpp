// brindle: the command-line tool of a Brindle configuration database. It is a host like any
// other and works through the library's exports; only `check`, `stats` and `repair` reach
// inside.

#include <cstring>
#include <iostream>

#include "brindle/commands.h"
#include "brindle/tool_error.h"
#include "brindle/tool_output.h"
#include "brindle/version.h"
#include "md_exception.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsageError = 2;

// The library's lines are shown only where its result code says too little; they are the
// library's words, and named so.
void ReportWithLibraryLines(const std::string& message) {
    for (const std::string& line : brindle::tool::LibraryLines()) {
        std::cerr << "brindle: library diagnostic: " << line << '\n';
    }
    std::cerr << "brindle: " << message << std::endl;
}

void Report(const std::string& message) {
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

// CLI11 says "A subcommand is required" for a word it does not know; the user typed one.
int ReportParseError(CLI::App& app, const CLI::ParseError& error, std::ostream& out) {
    if (error.get_exit_code() == 0) {
        return app.exit(error, out, std::cerr);
    }
    if (app.get_subcommands().empty() && !app.remaining().empty()) {
        const std::string word = app.remaining().front();
        if (!word.empty() && word.front() != '-') {
            Report("unknown command '" + word + "' (brindle --help lists the commands)");
            return kUsageError;
        }
    }
    app.exit(error, out, std::cerr);
    return kUsageError;
}

int Run(int argc, char** argv) {
    using namespace brindle::tool;
    ToolContext context;
    context.out = &ToolOutput();

    CLI::App app("Inspect, edit, move and check a Brindle configuration database.", "brindle");
    app.require_subcommand(1);
    app.fallthrough();
    app.allow_extras(false);
    context.database_flag =
        app.add_option("--db", context.database_option,
                       std::string("Base path of the database files (default: $BRINDLE_DB, "
                                   "else ") +
                           kDefaultDatabasePath + ")")
            ->envname("BRINDLE_DB")
            ->type_name("PATH");
    app.add_option("--wait", context.wait_seconds,
                   "Wait up to SECONDS for another process to close the database")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 86400.0));
    bool verbose = false;  // acted on by WantsVerbose before parsing
    app.add_flag("-v,--verbose", verbose, "Show the library's diagnostic lines as they come");
    app.add_flag_callback(
        "--version",
        [&context] {
            *context.out << VersionText();
            throw CLI::Success();
        },
        "Print the versions of the tool and of the library it runs with");
    AddKeyCommands(app, context);
    AddPropertyCommands(app, context);
    AddTransferCommands(app, context);
    AddInspectCommands(app, context);
    AddDemoCommand(app, context);
    AddCodesCommand(app, context);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return ReportParseError(app, error, *context.out);
    }
    return context.exit_status;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace brindle::tool;
    SeparateLibraryOutput(WantsVerbose(argc, argv));
    int status = kFailure;
    try {
        status = Run(argc, argv);
    } catch (const UsageError& error) {
        Report(error.what());
        status = kUsageError;
    } catch (const LibraryError& error) {
        if (error.NeedsDiagnostics()) {
            ReportWithLibraryLines(error.what());
        } else {
            Report(error.what());
        }
    } catch (const ToolError& error) {
        Report(error.what());
    } catch (const MDException& error) {
        ReportWithLibraryLines(std::string("the library raised ") + error.GetTypeName() + ": " +
                               error.GetMessage());
    } catch (const std::exception& error) {
        Report(error.what());
    }
    const int output_error = FinishToolOutput();
    if (output_error != 0) {
        Report(std::string("cannot write the output: ") + std::strerror(output_error));
        status = status == kSuccess ? kFailure : status;
    }
    return status;
}
