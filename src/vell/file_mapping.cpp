#include "vell/file_mapping.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <utility>

#include "vell/library_errors.h"

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

uint64_t FileSize(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

int Protection(int access, bool read_only) {
    bool write = (access & (FileMapping::kAccessWrite | FileMapping::kAccessAll)) != 0;
    return write && !read_only ? PROT_READ | PROT_WRITE : PROT_READ;
}

}  // namespace

FileMapping::FileMapping(std::string mapping_name) : mapping_name_(std::move(mapping_name)) {}

FileMapping::FileMapping(std::string file_name, std::string mapping_name)
    : file_name_(std::move(file_name)), mapping_name_(std::move(mapping_name)) {}

FileMapping::~FileMapping() {
    Close();
    for (auto& [base, length] : views_) {
        munmap(base, length);
    }
}

bool FileMapping::Fail(uint32_t error) {
    last_error_ = error;
    return false;
}

bool FileMapping::CloseAndFail(uint32_t error) {
    Close();
    return Fail(error);
}

bool FileMapping::Create(unsigned int size_low, unsigned int size_high, unsigned int flags) {
    if (mapping_held_) {
        return Fail(kErrorMappingHeld);
    }
    if (file_fd_ >= 0) {
        return Fail(kErrorPlatform);
    }
    if ((flags & kOpenNamed) != 0) {
        return OpenNamed(flags);
    }
    const uint64_t size = (uint64_t{size_high} << 32) | size_low;
    read_only_ = (flags & kReadOnly) != 0;
    if (!file_name_.empty()) {
        return OpenFile(size, flags) && MapFile(size, flags) && CheckExistence(flags);
    }
    return CreateSharedMemory(size, flags) && CheckExistence(flags);
}

void* FileMapping::CreateShared(std::string name, unsigned int size) {
    mapping_name_ = std::move(name);
    file_name_.clear();
    if (!Create(size, 0, kCreateFile | 0x8)) {
        return nullptr;
    }
    return Map(kAccessAll);
}

// Opens a name that a live holder keeps. A name without a holder is a leftover and is not
// opened. The liveness probe takes a shared lock for a moment; a creator racing with it in
// that moment sees the name as held.
bool FileMapping::OpenNamed(unsigned int flags) {
    if (mapping_name_.empty()) {
        return Fail(kErrorNoName);
    }
    read_only_ = (flags & kReadOnly) != 0;
    int fd = shm_open(ObjectName().c_str(), read_only_ ? O_RDONLY : O_RDWR, 0);
    if (fd < 0) {
        return Fail(kErrorNotExisted);
    }
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
        close(fd);  // also drops the probe's lock
        return Fail(kErrorNotExisted);
    }
    mapping_fd_ = fd;
    size_ = FileSize(fd);
    mapping_held_ = true;
    existed_ = true;
    return true;
}

bool FileMapping::OpenFile(uint64_t size, unsigned int flags) {
    // Non-blocking, so that a path naming a pipe fails to map instead of waiting for a
    // writer; regular files are not affected.
    int mode = (read_only_ ? O_RDONLY : O_RDWR) | O_NONBLOCK;
    if ((flags & kAlwaysCreateFile) != 0) {
        mode |= O_CREAT | O_TRUNC;
    }
    file_fd_ = open(file_name_.c_str(), mode | O_CLOEXEC, 0666);
    if (file_fd_ >= 0) {
        return true;
    }
    if ((flags & kCreateFile) == 0) {
        return Fail(kErrorOpenFile);
    }
    file_fd_ = open(file_name_.c_str(), mode | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file_fd_ < 0) {
        return Fail(kErrorCreateFile);
    }
    if (size > static_cast<uint64_t>(INT64_MAX) ||
        ftruncate(file_fd_, static_cast<off_t>(size)) != 0) {
        return CloseAndFail(kErrorSizeFile);
    }
    return true;
}

// A mapping of an open file: the whole file for size 0, else `size` bytes, growing the file
// when it is writable and shorter (an empty file cannot be mapped whole).
bool FileMapping::MapFile(uint64_t size, unsigned int flags) {
    (void)flags;
    const uint64_t file_size = FileSize(file_fd_);
    if (size == 0) {
        size = file_size;
    }
    if (size == 0) {
        return CloseAndFail(kErrorPlatform);
    }
    if (size > file_size) {
        if (read_only_ || size > static_cast<uint64_t>(INT64_MAX) ||
            ftruncate(file_fd_, static_cast<off_t>(size)) != 0) {
            return CloseAndFail(kErrorPlatform);
        }
    }
    size_ = size;
    mapping_held_ = true;
    existed_ = false;
    return true;
}

bool FileMapping::CreateSharedMemory(uint64_t size, unsigned int flags) {
    (void)flags;
    if (size == 0 || size > static_cast<uint64_t>(INT64_MAX)) {
        return Fail(kErrorPlatform);
    }
    bool ok = mapping_name_.empty() ? CreateAnonymousMemory(size) : ClaimNamedObject(size);
    if (!ok) {
        return CloseAndFail(kErrorPlatform);
    }
    mapping_held_ = true;
    return true;
}

// An object under a private name that is unlinked at once: memory only this mapping (and
// the views and processes it is handed to) can reach.
bool FileMapping::CreateAnonymousMemory(uint64_t size) {
    static std::atomic<uint64_t> counter{0};
    std::string name = "/vell-anon-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    mapping_fd_ = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (mapping_fd_ < 0) {
        return false;
    }
    shm_unlink(name.c_str());
    size_ = size;
    existed_ = false;
    return ftruncate(mapping_fd_, static_cast<off_t>(size)) == 0;
}

bool FileMapping::ClaimNamedObject(uint64_t size) {
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
            // A live holder has it: share its memory, at the size it gave it.
            mapping_fd_ = fd;
            size_ = FileSize(fd);
            existed_ = true;
            return true;
        }
        if (!StillNamed(fd, name)) {
            close(fd);  // its holder unlinked it meanwhile; look again
            continue;
        }
        // Ours now: new (empty), or left by a holder that died, whose contents go.
        mapping_fd_ = fd;
        owner_ = true;
        existed_ = false;
        size_ = size;
        if (FileSize(fd) != 0 && ftruncate(fd, 0) != 0) {
            return false;
        }
        return ftruncate(fd, static_cast<off_t>(size)) == 0;
    }
    return false;
}

bool FileMapping::CheckExistence(unsigned int flags) {
    if (existed_ && (flags & kMustBeNew) != 0) {
        return CloseAndFail(kErrorExisted);
    }
    if (!existed_ && (flags & kMustExist) != 0) {
        return CloseAndFail(kErrorNotExisted);
    }
    return true;
}

void* FileMapping::MapAt(uint64_t offset, uint64_t length, int access) {
    int fd = file_fd_ >= 0 ? file_fd_ : mapping_fd_;
    if (length == 0 || offset > size_ || length > size_ - offset) {
        return nullptr;
    }
    void* base = mmap(nullptr, length, Protection(access, read_only_), MAP_SHARED, fd,
                      static_cast<off_t>(offset));
    if (base == MAP_FAILED) {
        return nullptr;
    }
    views_[base] = length;
    return base;
}

void* FileMapping::Map(int access) {
    if (!mapping_held_) {
        Fail(kErrorNoMapping);
        return nullptr;
    }
    return MapAt(0, size_, access);
}

void* FileMapping::MapRange(uint64_t offset, unsigned int size, unsigned int& delta, int access) {
    if (!mapping_held_) {
        Fail(kErrorNoMapping);
        return nullptr;
    }
    const uint64_t granularity = AllocationGranularity();
    const uint64_t aligned = offset / granularity * granularity;
    delta = static_cast<unsigned int>(offset - aligned);
    uint64_t length = uint64_t{delta} + size;
    if (size == 0 && aligned < size_) {
        length = size_ - aligned;  // to the end of the mapping
    }
    return MapAt(aligned, length, access);
}

bool FileMapping::Flush(void* view, unsigned int size) {
    auto it = views_.find(view);
    if (it == views_.end()) {
        return false;
    }
    uint64_t length = size == 0 || size > it->second ? it->second : size;
    return msync(view, length, MS_SYNC) == 0;
}

bool FileMapping::Unmap(void* view) {
    auto it = views_.find(view);
    if (it == views_.end()) {
        return false;
    }
    bool ok = munmap(view, it->second) == 0;
    views_.erase(it);
    return ok;
}

bool FileMapping::Commit(uint64_t end) {
    if (mapping_fd_ < 0 || end > size_) {
        return false;
    }
    return end == 0 || posix_fallocate(mapping_fd_, 0, static_cast<off_t>(end)) == 0;
}

void FileMapping::Close() {
    if (mapping_fd_ >= 0) {
        // Unlink before the lock goes with the descriptor, so nobody can take the name over
        // while we still hold it.
        if (owner_) {
            shm_unlink(ObjectName().c_str());
        }
        close(mapping_fd_);
    }
    if (file_fd_ >= 0) {
        close(file_fd_);
    }
    mapping_fd_ = -1;
    file_fd_ = -1;
    mapping_held_ = false;
    file_name_.clear();
    mapping_name_.clear();
    existed_ = false;
    last_error_ = kErrorNone;
    size_ = 0;
    read_only_ = false;
    owner_ = false;
}

uint32_t FileMapping::AllocationGranularity() {
    static const uint32_t granularity = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
    return granularity;
}

MappedView::MappedView(FileMapping* mapping, bool map_now, int access) : mapping_(mapping) {
    if (mapping_ != nullptr && map_now) {
        base_ = mapping_->Map(access);
    }
}

MappedView::MappedView(FileMapping* mapping, uint64_t offset, unsigned int size, int access)
    : mapping_(mapping) {
    RemapRange(offset, size, access);
}

MappedView::~MappedView() {
    Unmap();
}

void MappedView::Unmap() {
    if (mapping_ != nullptr && base_ != nullptr) {
        mapping_->Unmap(base_);
    }
    base_ = nullptr;
    offset_ = 0;
}

bool MappedView::Remap(int access) {
    Unmap();
    if (mapping_ != nullptr) {
        base_ = mapping_->Map(access);
    }
    return base_ != nullptr;
}

bool MappedView::RemapRange(uint64_t offset, unsigned int size, int access) {
    Unmap();
    if (mapping_ != nullptr) {
        unsigned int delta = 0;
        base_ = mapping_->MapRange(offset, size, delta, access);
        offset_ = base_ != nullptr ? delta : 0;
    }
    return base_ != nullptr;
}

void* MappedView::Data() const {
    return base_ == nullptr ? nullptr : static_cast<uint8_t*>(base_) + offset_;
}

void* MappedView::DataChecked(uint64_t extra) const {
    if (base_ == nullptr) {
        ThrowFormatError(kMappingMemoryError);
    }
    return static_cast<uint8_t*>(base_) + offset_ + extra;
}

}  // namespace vell
