#pragma once

#include <string>

namespace brindle::tool {

// How a command reaches its database: where, whether it may create it, and how long it
// waits for another process to let go of it.
struct DatabaseAccess {
    std::string path;  // base path of the data files
    bool create = false;
    double wait_seconds = 0;
};

// The name of data file `number` (1-based) of the database at `base`.
std::string DataFileName(const std::string& base, int number);

// What BRN_OpenFile only answers with "failed" is found out first, so that the user reads
// why: an empty path (a UsageError), a path naming a folder or a device, a database that
// does not exist (when the command may not create it), a first data file the user may not
// open, and a database another process holds (waited for up to wait_seconds). Throws a
// ToolError saying which; returns when an open has every chance to succeed.
void PrepareOpen(const DatabaseAccess& access);

// The database the command set out to open first: the user's (a repair's copy and the
// demo's second database come after it). Empty before any. For the report of a failure.
const std::string& FirstDatabase();

// After a failed open: why it failed when that can be found out ("database '...' is in use
// by process N"), else empty.
std::string ExplainOpenFailure(const std::string& path);

}  // namespace brindle::tool
