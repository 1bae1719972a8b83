// brindle: the command-line tool of a Brindle configuration database. It is a host like any
// other and works through the library's exports; only `check`, `stats` and `repair` reach
// inside.

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "brindle.h"
#include "brindle/commands.h"
#include "brindle/integrity.h"
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

// The command the user named, once the command line is parsed; empty before.
std::string& CommandName() {
    static std::string name;
    return name;
}

// A path as a shell word: as it is when it needs no quoting, else in single quotes.
std::string ShellWord(const std::string& path) {
    const bool plain = !path.empty() && path.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789_./-+=,:@%") == std::string::npos;
    if (plain) {
        return path;
    }
    std::string quoted = "'";
    for (char c : path) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// A failure that comes from damaged data files is said in one line: what is wrong with which
// file (found by looking at the files), and what to do about it. The library's own words
// ("MemoryException: Alloc page buffer error", its misspelt "Execption") are quoted as they
// are and explained. False when the failure does not look like damage.
bool ReportDamage(const std::string& library_words, const std::string& explanation) {
    const std::string& base = brindle::tool::FirstDatabase();
    if (base.empty()) {
        return false;
    }
    bool mendable = true;
    std::string what = brindle::tool::DescribeDamage(base, brindle::tool::LibraryLines(), mendable);
    if (what.empty() && explanation.empty()) {
        return false;
    }
    if (what.empty()) {
        what = explanation;
    }
    if (!library_words.empty()) {
        what += " (the library says " + library_words + ")";
    }
    const std::string tool = "`brindle --db " + ShellWord(base) + " ";
    std::string advice;
    if (!mendable) {
        advice = "repair cannot mend the files themselves; restore the database from a backup";
    } else if (CommandName() == "repair") {
        advice = "repair does not mend this fault";
    } else {
        advice = (CommandName() == "check" ? "" : "list the faults with " + tool + "check` and ") +
                 "write a mended copy with " + tool + "repair -o NEW-BASE` (when repair can)";
    }
    Report("database '" + base + "' is damaged: " + what + "; " + advice);
    return true;
}

// The library's exceptions that say its data files could not be read as they should.
std::string DamageExplanation(const MDException& error) {
    const std::string type = error.GetTypeName();
    const std::string message = error.GetMessage();
    if (type == "MemoryException" && message.find("page") != std::string::npos) {
        return "a page of it could not be read";
    }
    if (type == "Execption") {
        return "a stored record is not as the format says";
    }
    if (type == "FormatError") {
        return "the head of a data file is not as the format says";
    }
    if (type == "IOException") {
        return "a data file could not be read or written";
    }
    return "";
}

// The result codes that say the stored data could not be read.
std::string DamageExplanation(const brindle::tool::LibraryError& error) {
    switch (error.code()) {
        case BRN_ERR_DATA:
        case BRN_ERR_BAD_VALUE:
            return "a stored record could not be read";
        default:
            for (const std::string& line : brindle::tool::LibraryLines()) {
                if (line.find("format error") != std::string::npos) {
                    return "a page of it is not as the format says";
                }
            }
            return "";
    }
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

// CLI11's own report is two lines without the tool's name ("key is required", "Run with
// --help for more information."); the tool's is one line of its own form.
int ReportParseError(CLI::App& app, const CLI::ParseError& error, std::ostream& out) {
    if (error.get_exit_code() == 0) {
        return app.exit(error, out, std::cerr);
    }
    const std::vector<CLI::App*> commands = app.get_subcommands();
    if (commands.empty() && !app.remaining().empty()) {
        const std::string word = app.remaining().front();
        if (!word.empty() && word.front() != '-') {
            Report("unknown command '" + word + "' (brindle --help lists the commands)");
            return kUsageError;
        }
    }
    // CLI11 begins some messages with a capital ("The following argument was not expected").
    std::string what = error.what();
    if (what.size() > 1 && std::isupper(static_cast<unsigned char>(what[0])) &&
        (std::islower(static_cast<unsigned char>(what[1])) || what[1] == ' ')) {
        what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
    }
    if (commands.empty() && what == "a subcommand is required") {
        what = "a command is required";
    }
    // A fault of one of the tool's own options (--wait) is not the command's.
    const std::string option = what.substr(0, what.find(':'));
    const bool own_option = option.rfind("--", 0) == 0 && app.get_option_no_throw(option);
    if (commands.empty() || own_option) {
        Report(what + " (brindle --help lists the commands and options)");
    } else {
        const std::string name = commands.front()->get_name();
        Report(name + ": " + what + " (brindle " + name + " --help shows its usage)");
    }
    return kUsageError;
}

// --wait SECONDS: a number from 0 to a day, said so when it is not.
CLI::Validator WaitSeconds() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            const double seconds = std::strtod(text.c_str(), &end);
            if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(seconds) ||
                seconds < 0 || seconds > 86400) {
                return "takes a number of seconds from 0 to 86400, not '" + text + "'";
            }
            return std::string();
        },
        "SECONDS");
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
                   "Wait up to SECONDS while another process holds the database alone")
        ->type_name("SECONDS")
        ->check(WaitSeconds());
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
    AddWatchCommand(app, context);
    AddServeCommand(app, context);
    AddSyncCommand(app, context);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return ReportParseError(app, error, *context.out);
    } catch (...) {
        if (!app.get_subcommands().empty()) {
            CommandName() = app.get_subcommands().front()->get_name();
        }
        throw;
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
        if (!error.NeedsDiagnostics()) {
            Report(error.what());
        } else if (!ReportDamage("", DamageExplanation(error))) {
            ReportWithLibraryLines(error.what());
        }
    } catch (const ToolError& error) {
        Report(error.what());
    } catch (const MDException& error) {
        const std::string words = std::string(error.GetTypeName()) + ": " + error.GetMessage();
        if (!ReportDamage("\"" + words + "\"", DamageExplanation(error))) {
            ReportWithLibraryLines("the library raised " + words);
        }
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
