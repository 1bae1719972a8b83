#include "brindle/database_access.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "brindle.h"
#include "brindle/tool_error.h"

namespace brindle::tool {
namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// The processes holding an flock on `file`, from /proc/locks: those holding it exclusively
// (WRITE) when `exclusive`, else those holding it shared (READ). A process holding the
// database with options 0 keeps its first data file locked exclusively, one holding it with
// BRN_OPEN_SHARED shared; a reader holds no lock.
std::vector<long> LockHolders(const std::string& file, bool exclusive) {
    std::vector<long> holders;
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) {
        return holders;
    }
    char device[64];
    std::snprintf(device, sizeof device, "%02x:%02x:%llu", major(status.st_dev),
                  minor(status.st_dev), static_cast<unsigned long long>(status.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 4711 fd:01:1234 0 EOF"; waiters carry a "->" and hold
        // nothing.
        std::istringstream fields(line);
        std::string number, kind, advisory, access, where;
        long pid = 0;
        if (fields >> number >> kind >> advisory >> access >> pid >> where && kind == "FLOCK" &&
            where == device && access == (exclusive ? "WRITE" : "READ")) {
            holders.push_back(pid);
        }
    }
    return holders;
}

std::string Processes(const std::vector<long>& pids, const std::string& unknown) {
    if (pids.empty()) {
        return unknown;
    }
    std::string text = pids.size() == 1 ? "process " : "processes ";
    for (std::size_t i = 0; i < pids.size(); ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(pids[i]);
    }
    return text;
}

std::string InUse(const std::string& shown, const std::string& file) {
    return "database " + Quoted(shown) + " is in use by " +
           Processes(LockHolders(file, true), "another process");
}

// True when a process holds the data file's lock exclusively: the one holding the database
// with options 0. Taking the lock shared fails only then; it is let go at once.
bool HeldExclusively(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);  // drops the lock when it was taken
    return held;
}

bool WaitingMayHelp(int result) {
    return result == BRN_ERR_LOCKED || result == BRN_ERR_SHARED_BY_OTHERS;
}

// How a message about a held database ends: what waiting did or would do, and the code.
std::string WaitNote(double wait_seconds, int result) {
    const std::string code = "code " + std::to_string(result);
    if (wait_seconds <= 0) {
        return "; wait for it with --wait SECONDS (" + code + ")";
    }
    std::ostringstream waited;
    waited << wait_seconds;  // 0.5 as 0.5, 30 as 30
    return " (waited " + waited.str() + " s; " + code + ")";
}

[[noreturn]] void ThrowOpenFailure(const DatabaseAccess& access, int result,
                                   const std::string& shown) {
    const std::string first = DataFileName(access.path, 1);
    if (result == BRN_ERR_LOCKED) {
        throw LibraryError(InUse(shown, first) + WaitNote(access.wait_seconds, result), result);
    }
    if (result == BRN_ERR_SHARED_BY_OTHERS) {
        throw LibraryError("database " + Quoted(shown) + " is open for changes by " +
                               Processes(LockHolders(first, false), "other processes") +
                               ", and this command needs it alone" +
                               WaitNote(access.wait_seconds, result),
                           result);
    }
    CheckResult(result, "cannot open the database " + Quoted(shown));
    throw LibraryError("cannot open the database " + Quoted(shown), result);  // not reached
}

void CheckWritableFolder(const std::string& path) {
    const fs::path folder =
        fs::path(path).parent_path().empty() ? fs::path(".") : fs::path(path).parent_path();
    std::error_code error;
    if (!fs::exists(folder, error)) {
        fs::create_directories(folder, error);
        if (error) {
            throw ToolError("cannot create the database folder " + Quoted(folder.string()) + ": " +
                            error.message());
        }
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        throw ToolError("permission denied: " + folder.string() + " (" + std::strerror(errno) +
                        ")");
    }
}

}  // namespace

unsigned int OpenOptions(OpenMode mode) {
    switch (mode) {
        case OpenMode::kShared:
            return BRN_OPEN_SHARED;
        case OpenMode::kReadOnly:
            return BRN_OPEN_READ_ONLY;
        case OpenMode::kExclusive:
            break;
    }
    return 0;
}

std::string DataFileName(const std::string& base, int number) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "%03d", number);
    return base + suffix;
}

std::string& FirstDatabasePath() {
    static std::string path;
    return path;
}

const std::string& FirstDatabase() {
    return FirstDatabasePath();
}

void PrepareOpen(const DatabaseAccess& access) {
    const std::string& path = access.path;
    if (FirstDatabasePath().empty()) {
        FirstDatabasePath() = path;
    }
    if (path.empty()) {
        throw UsageError("the database path is empty");
    }
    std::error_code error;
    const fs::file_status base = fs::status(path, error);
    if (fs::exists(base) && !fs::is_regular_file(base)) {
        throw ToolError(Quoted(path) + " is " +
                        (fs::is_directory(base) ? "a folder" : "not a regular file") +
                        "; --db takes the base path of the data files, such as " +
                        Quoted((fs::path(path) / "db").string()));
    }
    const std::string first = DataFileName(path, 1);
    if (fs::exists(first, error)) {
        return;
    }
    if (!access.create) {
        // Said here for every mode: only a read-only open would get the library to say it,
        // and any other would create the database.
        throw LibraryError("no database at " + Quoted(path) + ": its first data file " + first +
                               " does not exist (code " + std::to_string(BRN_ERR_NO_DATABASE) + ")",
                           BRN_ERR_NO_DATABASE);
    }
    CheckWritableFolder(path);
}

void OpenWaiting(const DatabaseAccess& access, const std::function<int()>& open,
                 const std::string& shown_as) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(access.wait_seconds);
    for (;;) {
        const int result = open();
        if (result == BRN_OK) {
            return;
        }
        if (!WaitingMayHelp(result) || std::chrono::steady_clock::now() >= deadline) {
            ThrowOpenFailure(access, result, shown_as.empty() ? access.path : shown_as);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

ExclusiveHold::ExclusiveHold(const DatabaseAccess& access) {
    const std::string first = DataFileName(access.path, 1);
    OpenWaiting(access, [this, &first] {
        if (fd_ < 0) {
            fd_ = ::open(first.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd_ < 0) {
                return errno == EACCES ? BRN_ERR_PERMISSION : BRN_ERR_NO_DATABASE;
            }
        }
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            return BRN_OK;
        }
        return HeldExclusively(first) ? BRN_ERR_LOCKED : BRN_ERR_SHARED_BY_OTHERS;
    });
}

ExclusiveHold::~ExclusiveHold() {
    if (fd_ >= 0) {
        ::close(fd_);  // lets the lock go
    }
}

std::string ExplainOpenFailure(const std::string& path) {
    const std::string first = DataFileName(path, 1);
    return HeldExclusively(first) ? InUse(path, first) : "";
}

}  // namespace brindle::tool
