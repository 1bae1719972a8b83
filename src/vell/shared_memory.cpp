#include "vell/shared_memory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace vell {
namespace {

// Takeovers that lose a race with another process start over; this many rounds is far more
// than any real contention needs and keeps a pathological one finite.
constexpr int kClaimRounds = 64;

bool SameObject(int fd, int other_fd) {
    struct stat a {};
    struct stat b {};
    return fstat(fd, &a) == 0 && fstat(other_fd, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// True when `fd` is still the object that `name` names: a holder that unlinked the name
// after we opened it leaves us with a nameless object that nobody else can find.
bool StillNamed(int fd, const std::string& name) {
    int again = shm_open(name.c_str(), O_RDONLY, 0);
    if (again < 0) {
        return false;
    }
    bool same = SameObject(fd, again);
    close(again);
    return same;
}

bool HasBytes(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && info.st_size != 0;
}

}  // namespace

SharedMemory::~SharedMemory() {
    if (data_ != nullptr) {
        munmap(data_, size_);
    }
    if (fd_ >= 0) {
        // Unlink before the lock goes with the descriptor, so nobody can take the name over
        // while we still hold it.
        if (owner_) {
            shm_unlink(ObjectName().c_str());
        }
        close(fd_);
    }
}

bool SharedMemory::Create(uint64_t size) {
    if (fd_ >= 0 || size == 0 || size > static_cast<uint64_t>(INT64_MAX) || !Claim(size)) {
        return false;
    }
    if (existed_) {
        return true;
    }
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (base == MAP_FAILED) {
        return false;
    }
    data_ = static_cast<uint8_t*>(base);
    size_ = size;
    return true;
}

bool SharedMemory::Claim(uint64_t size) {
    const std::string name = ObjectName();
    for (int round = 0; round < kClaimRounds; ++round) {
        int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK) {
                close(fd);
                return false;
            }
            fd_ = fd;  // a live holder has it
            existed_ = true;
            return true;
        }
        if (!StillNamed(fd, name)) {
            close(fd);  // its holder unlinked it meanwhile; look again
            continue;
        }
        // Ours now: new (empty), or left by a holder that died, whose contents go.
        fd_ = fd;
        owner_ = true;
        if (HasBytes(fd) && ftruncate(fd, 0) != 0) {
            return false;
        }
        return ftruncate(fd, static_cast<off_t>(size)) == 0;
    }
    return false;
}

bool SharedMemory::Commit(uint64_t end) {
    if (data_ == nullptr || end > size_) {
        return false;
    }
    return end == 0 || posix_fallocate(fd_, 0, static_cast<off_t>(end)) == 0;
}

}  // namespace vell
