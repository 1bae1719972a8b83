#pragma once

#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

namespace brindle::tool {

// What every command shares: the database option and where results go.
struct ToolContext {
    std::string database_option;  // --db, or BRINDLE_DB through the option's environment name
    std::ostream* out = nullptr;
    int exit_status = 0;  // set by commands that succeed but report a finding (check)

    // --db, else BRINDLE_DB, else ./brindle-data/db.
    std::string DatabasePath() const;
};

constexpr const char* kDefaultDatabasePath = "./brindle-data/db";

// Each adds its sub-commands to the application; the callbacks throw ToolError on failure.
void AddKeyCommands(CLI::App& app, ToolContext& context);       // ls, mkkey, rmkey, mvkey, tree
void AddPropertyCommands(CLI::App& app, ToolContext& context);  // props, get, set, unset
void AddTransferCommands(CLI::App& app, ToolContext& context);  // export, import, dump, load
void AddInspectCommands(CLI::App& app, ToolContext& context);   // check, stats
void AddDemoCommand(CLI::App& app, ToolContext& context);       // demo
void AddCodesCommand(CLI::App& app, ToolContext& context);      // codes

// A value as one line of a listing: control characters escaped, and cut
// with "..." past `limit` characters (0: no limit).
std::string DisplayText(const std::string& text, std::size_t limit);

}  // namespace brindle::tool
