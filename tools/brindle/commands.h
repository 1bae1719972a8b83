#pragma once

#include <signal.h>

#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

#include "brindle/database_access.h"
#include "brindle/wording.h"

namespace brindle::tool {

// What every command shares: the database options and where results go.
struct ToolContext {
    std::string database_option;  // --db, or BRINDLE_DB through the option's environment name
    CLI::Option* database_flag = nullptr;
    double wait_seconds = 0;  // --wait
    std::ostream* out = nullptr;
    int exit_status = 0;  // set by commands that succeed but report a finding (check)

    // --db, else BRINDLE_DB, else ./brindle-data/db. An empty --db is a UsageError.
    std::string DatabasePath() const;
    // The database as a changing command reaches it: shared with other changing processes
    // and with readers. Only commands that add content create it.
    DatabaseAccess Access(bool create) const;
    // The database as a reading command reaches it: read-only, beside any writer; never
    // created.
    DatabaseAccess ReadAccess() const;
    // The database as a command that must be its only user reaches it (one that rewrites
    // or deletes data files).
    DatabaseAccess ExclusiveAccess() const;
};

constexpr const char* kDefaultDatabasePath = "./brindle-data/db";
constexpr const char* kKeyHelp = "Key address: MainKey/sub/key (or MainKey\\sub\\key)";

// Each adds its sub-commands to the application; the callbacks throw ToolError on failure.
void AddKeyCommands(CLI::App& app, ToolContext& context);       // ls, mkkey, rmkey, mvkey, tree
void AddPropertyCommands(CLI::App& app, ToolContext& context);  // props, get, set, unset
void AddTransferCommands(CLI::App& app, ToolContext& context);  // export, import, dump, load
void AddInspectCommands(CLI::App& app, ToolContext& context);   // check, stats, repair
void AddDemoCommand(CLI::App& app, ToolContext& context);       // demo
void AddCodesCommand(CLI::App& app, ToolContext& context);      // codes
void AddWatchCommand(CLI::App& app, ToolContext& context);      // watch
void AddServeCommand(CLI::App& app, ToolContext& context);      // serve
void AddSyncCommand(CLI::App& app, ToolContext& context);       // sync

// SIGINT and SIGTERM end the commands that run until interrupted (watch, serve). Blocks them
// in the calling thread, so in every thread started after (the library's and a server's
// inherit the mask), and returns the set for sigwait: the command then ends in order, its
// watches ended and its database closed, never inside a callback.
sigset_t BlockEndingSignals();

// The whole of a file, or of standard input for "-".
std::string ReadInput(const std::string& file);

// Values longer than this are cut in listings unless the user asks for them in full.
constexpr std::size_t kShownValueLength = 60;

}  // namespace brindle::tool
