#pragma once

#include <functional>
#include <string>

namespace brindle::tool {

// How a command holds the database while it runs.
enum class OpenMode {
    // Options 0: the one writing process; others may only read. Commands that rewrite or
    // delete data files need this, and a host that owns its database opens it so.
    kExclusive,
    // BRN_OPEN_SHARED: one of several writing processes, each change taking its turn; refused
    // while a process holds the database with options 0.
    kShared,
    // BRN_OPEN_READ_ONLY: every call reads the latest committed state; works beside any
    // writer, and never creates, repairs or writes anything.
    kReadOnly,
};

// How a command reaches its database: where, whether it may create it, how it holds it and
// how long it waits for another process to let go of it.
struct DatabaseAccess {
    std::string path;  // base path of the data files
    bool create = false;
    double wait_seconds = 0;
    OpenMode mode = OpenMode::kExclusive;
};

// The options of BRN_OpenFile for `mode`.
unsigned int OpenOptions(OpenMode mode);

// The name of data file `number` (1-based) of the database at `base`.
std::string DataFileName(const std::string& base, int number);

// What the command line can get wrong is refused before the library is asked: an empty path
// (a UsageError), a path naming a folder or a device, and a database that does not exist
// when the command may not create it (BRN_ERR_NO_DATABASE, without creating anything).
void PrepareOpen(const DatabaseAccess& access);

// Runs `open` (which returns the open's result code) until it succeeds, fails for a reason
// waiting cannot mend, or access.wait_seconds have passed while another process held the
// database. Throws a ToolError carrying the code that says why the open failed, naming the
// holding process where one is to blame; `shown_as` names the database in messages (empty:
// its path).
void OpenWaiting(const DatabaseAccess& access, const std::function<int()>& open,
                 const std::string& shown_as = "");

// Keeps every other process from opening the database at access.path while it lives, as a
// process holding it with options 0 does (its first data file locked exclusively), without
// opening it: for a command that reads the data files themselves (repair copying them). Waits
// and fails as OpenWaiting does.
class ExclusiveHold {
public:
    explicit ExclusiveHold(const DatabaseAccess& access);
    ~ExclusiveHold();
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;

private:
    int fd_ = -1;
};

// The database the command set out to open first: the user's (a repair's copy and the
// demo's second database come after it). Empty before any. For the report of a failure.
const std::string& FirstDatabase();

// "database '...' is in use by process N" while a process holds the database with options 0
// (its first data file locked exclusively), else empty.
std::string ExplainOpenFailure(const std::string& path);

}  // namespace brindle::tool
