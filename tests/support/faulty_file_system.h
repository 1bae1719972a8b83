#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "vell/file_system.h"

namespace testsupport {

// A file system that fails one chosen operation: the Nth read, write, sync or space
// allocation (a file made longer counts as one) after it was installed fails with the chosen
// errno. Every other call goes to the operating system. Installs itself for its lifetime.
class FaultyFileSystem : public vell::FileSystem {
public:
    FaultyFileSystem(uint64_t fail_at, int error) : fail_at_(fail_at), error_(error) {
        previous_ = vell::FileSystem::Install(this);
    }
    ~FaultyFileSystem() override { vell::FileSystem::Install(previous_); }
    FaultyFileSystem(const FaultyFileSystem&) = delete;
    FaultyFileSystem& operator=(const FaultyFileSystem&) = delete;

    // Operations counted so far, and whether the chosen one was reached.
    uint64_t Count() const { return count_; }
    bool Fired() const { return fired_; }

    ssize_t PRead(int fd, void* buffer, size_t length, off_t position) override {
        return Fail() ? -1 : vell::FileSystem::PRead(fd, buffer, length, position);
    }
    ssize_t PWrite(int fd, const void* buffer, size_t length, off_t position) override {
        return Fail() ? -1 : vell::FileSystem::PWrite(fd, buffer, length, position);
    }
    int Sync(int fd) override { return Fail() ? -1 : vell::FileSystem::Sync(fd); }
    int Truncate(int fd, off_t length) override {
        uint64_t size = 0;
        bool grows = vell::FileSystem::Size(fd, size) == 0 && static_cast<uint64_t>(length) > size;
        return grows && Fail() ? -1 : vell::FileSystem::Truncate(fd, length);
    }
    int Allocate(int fd, off_t position, off_t length) override {
        return Fail() ? error_ : vell::FileSystem::Allocate(fd, position, length);
    }

private:
    bool Fail() {
        if (++count_ != fail_at_) {
            return false;
        }
        fired_ = true;
        errno = error_;
        return true;
    }

    uint64_t fail_at_;
    int error_;
    std::atomic<uint64_t> count_{0};
    std::atomic<bool> fired_{false};
    vell::FileSystem* previous_;
};

}  // namespace testsupport
