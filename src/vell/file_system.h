#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace vell {

// The one way the data files, the journal and the transfer files reach the operating system.
// Every call has the meaning and the error reporting of the POSIX call it is named after:
// -1 (or a short count) with errno set. Tests install a replacement to fail chosen calls.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual int Open(const std::string& path, int flags, mode_t mode);
    virtual int Close(int fd);
    virtual ssize_t PRead(int fd, void* buffer, size_t length, off_t position);
    virtual ssize_t PWrite(int fd, const void* buffer, size_t length, off_t position);
    virtual int Sync(int fd);
    // Sets the file's length; a file made longer reads as zeros past its old end.
    virtual int Truncate(int fd, off_t length);
    // Reserves disk space for [position, position + length); 0 or an errno value (not -1).
    virtual int Allocate(int fd, off_t position, off_t length);
    virtual int Size(int fd, uint64_t& length);
    virtual int Lock(int fd, int operation);
    virtual int Unlink(const std::string& path);
    virtual int Rename(const std::string& from, const std::string& to);
    // Makes the creation, renaming and removal of the entries of the directory at `path`
    // survive a power cut (fsync of the directory). 0, or -1 with errno set.
    virtual int SyncDirectory(const std::string& path);
    // A number that stays the same while the system runs and changes when it starts again
    // (after a power cut or a crash of the operating system); 0 when it cannot be told.
    virtual uint64_t BootId();

    // The file system in force for the whole process; never null.
    static FileSystem& Current();
    // Installs `replacement` (null: the operating system's own) and returns the previous one.
    // Only for tests, while no database is open.
    static FileSystem* Install(FileSystem* replacement);
};

}  // namespace vell
