#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "vell/file_system.h"

namespace testsupport {

// A file system that fails one chosen operation: the Nth read, write, sync or space
// allocation (a file made longer counts as one) after it was installed fails with the chosen
// errno; with kReads only reads are counted, and only a read fails. Every other call goes to
// the operating system. Installs itself for its lifetime.
class FaultyFileSystem : public vell::FileSystem {
public:
    enum Counted { kEveryOperation, kReads };

    FaultyFileSystem(uint64_t fail_at, int error, Counted counted = kEveryOperation)
        : fail_at_(fail_at), error_(error), reads_only_(counted == kReads) {
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
        return !reads_only_ && Fail() ? -1 : vell::FileSystem::PWrite(fd, buffer, length, position);
    }
    int Sync(int fd) override { return !reads_only_ && Fail() ? -1 : vell::FileSystem::Sync(fd); }
    int Truncate(int fd, off_t length) override {
        uint64_t size = 0;
        bool grows = vell::FileSystem::Size(fd, size) == 0 && static_cast<uint64_t>(length) > size;
        return grows && !reads_only_ && Fail() ? -1 : vell::FileSystem::Truncate(fd, length);
    }
    int Allocate(int fd, off_t position, off_t length) override {
        return !reads_only_ && Fail() ? error_ : vell::FileSystem::Allocate(fd, position, length);
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
    bool reads_only_;
    std::atomic<uint64_t> count_{0};
    std::atomic<bool> fired_{false};
    vell::FileSystem* previous_;
};

}  // namespace testsupport
