#include "vell/file_system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace vell {
namespace {

FileSystem& OperatingSystem() {
    static FileSystem system;
    return system;
}

std::atomic<FileSystem*> installed{nullptr};

}  // namespace

int FileSystem::Open(const std::string& path, int flags, mode_t mode) {
    return ::open(path.c_str(), flags, mode);
}

int FileSystem::Close(int fd) {
    return ::close(fd);
}

ssize_t FileSystem::PRead(int fd, void* buffer, size_t length, off_t position) {
    return ::pread(fd, buffer, length, position);
}

ssize_t FileSystem::PWrite(int fd, const void* buffer, size_t length, off_t position) {
    return ::pwrite(fd, buffer, length, position);
}

int FileSystem::Sync(int fd) {
    return ::fsync(fd);
}

int FileSystem::Truncate(int fd, off_t length) {
    return ::ftruncate(fd, length);
}

int FileSystem::Allocate(int fd, off_t position, off_t length) {
    return ::posix_fallocate(fd, position, length);
}

int FileSystem::Size(int fd, uint64_t& length) {
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        return -1;
    }
    length = static_cast<uint64_t>(info.st_size);
    return 0;
}

int FileSystem::Lock(int fd, int operation) {
    return ::flock(fd, operation);
}

int FileSystem::Unlink(const std::string& path) {
    return ::unlink(path.c_str());
}

int FileSystem::Rename(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str());
}

int FileSystem::SyncDirectory(const std::string& path) {
    int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    int result = ::fsync(fd);
    int saved = errno;
    ::close(fd);
    errno = saved;
    return result;
}

uint64_t FileSystem::BootId() {
    static const uint64_t id = [] {
        std::FILE* file = std::fopen("/proc/sys/kernel/random/boot_id", "re");
        if (file == nullptr) {
            return uint64_t{0};
        }
        char text[64] = {};
        size_t got = std::fread(text, 1, sizeof(text) - 1, file);
        std::fclose(file);
        uint64_t hash = 1469598103934665603ull;  // FNV-1a over the id's text
        for (size_t i = 0; i < got; ++i) {
            hash = (hash ^ static_cast<unsigned char>(text[i])) * 1099511628211ull;
        }
        return hash;
    }();
    return id;
}

FileSystem& FileSystem::Current() {
    FileSystem* replacement = installed.load(std::memory_order_acquire);
    return replacement != nullptr ? *replacement : OperatingSystem();
}

FileSystem* FileSystem::Install(FileSystem* replacement) {
    return installed.exchange(replacement, std::memory_order_acq_rel);
}

}  // namespace vell
