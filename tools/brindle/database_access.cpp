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

#include "brindle/tool_error.h"

namespace brindle::tool {
namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// The process holding an flock on `file`, from /proc/locks; 0 when none is listed.
long LockHolder(const std::string& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) {
        return 0;
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
            where == device) {
            return pid;
        }
    }
    return 0;
}

std::string InUse(const std::string& path, const std::string& file) {
    const long holder = LockHolder(file);
    return "database " + Quoted(path) + " is in use by " +
           (holder > 0 ? "process " + std::to_string(holder) : std::string("another process"));
}

enum class LockState { kFree, kHeld, kUnknown };

// Takes the data file's lock the way the library does and lets go at once.
LockState ProbeLock(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return LockState::kUnknown;
    }
    const int taken = ::flock(fd, LOCK_EX | LOCK_NB);
    const int error = errno;
    ::close(fd);  // drops the lock
    if (taken == 0) {
        return LockState::kFree;
    }
    return error == EWOULDBLOCK ? LockState::kHeld : LockState::kUnknown;
}

void WaitForLock(const DatabaseAccess& access, const std::string& file) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(access.wait_seconds);
    while (ProbeLock(file) == LockState::kHeld) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::string message = InUse(access.path, file);
            if (access.wait_seconds > 0) {
                std::ostringstream waited;
                waited << access.wait_seconds;  // 0.5 as 0.5, 30 as 30
                message += " (waited " + waited.str() + " s)";
            } else {
                message += "; wait for it with --wait SECONDS";
            }
            throw ToolError(message);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
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
    if (!fs::exists(first, error)) {
        if (!access.create) {
            throw ToolError("no database at " + Quoted(path) + " (its first data file " + first +
                            " does not exist)");
        }
        CheckWritableFolder(path);
        return;
    }
    if (::access(first.c_str(), R_OK | W_OK) != 0) {
        throw ToolError("permission denied: " + first);
    }
    WaitForLock(access, first);
}

std::string ExplainOpenFailure(const std::string& path) {
    const std::string first = DataFileName(path, 1);
    if (ProbeLock(first) == LockState::kHeld) {
        return InUse(path, first);
    }
    return "";
}

}  // namespace brindle::tool
