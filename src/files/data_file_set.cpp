#include "files/data_file_set.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vell/file_system.h"
#include "vell/output.h"

namespace brindle {

DataFileSet::DataFileSet() {
    Reset();
}

DataFileSet::~DataFileSet() {
    CloseAll();
}

std::string DataFileSet::FileName(const std::string& base_name, int file) {
    char name[2048];
    std::snprintf(name, sizeof(name), "%s%03d", base_name.c_str(), file);
    return name;
}

// Opens (or exclusively creates) one file and takes the lock of the set's sharing; -1 with
// errno set when either fails.
int DataFileSet::OpenOne(const std::string& name, bool create) {
    vell::FileSystem& fs = vell::FileSystem::Current();
    if (sharing_ == Sharing::kReadOnly) {
        if (create) {
            errno = EROFS;
            return -1;
        }
        return fs.Open(name, O_RDONLY | O_CLOEXEC, 0);
    }
    int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0);
    int fd = fs.Open(name, flags, 0644);
    if (fd < 0) {
        return -1;
    }
    const int lock = sharing_ == Sharing::kShared ? LOCK_SH : LOCK_EX;
    if (fs.Lock(fd, lock | LOCK_NB) != 0) {
        int error = errno;
        fs.Close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool DataFileSet::Open(const std::string& base_name, int file_count, bool create, uint32_t bound) {
    if (opened_ || base_name.empty() || file_count < 1 || file_count > kMaxFiles || bound == 0) {
        return false;
    }
    for (int k = 1; k <= file_count; ++k) {
        int fd = OpenOne(FileName(base_name, k), create);
        if (fd < 0) {
            vell::OutputLine("Create file failed errorid:%d\n", errno);
            CloseAll();
            file_count_ = 0;
            return false;
        }
        file_count_ = k;
        slots_[k].fd = fd;
    }
    base_name_ = base_name;
    bound_ = bound;
    opened_ = true;
    return true;
}

bool DataFileSet::UsableSlot(int file) const {
    return file >= 1 && file <= file_count_ && slots_[file].fd >= 0;
}

bool DataFileSet::Read(void* buffer, uint32_t length, int file, uint32_t position) {
    if (buffer == nullptr || length == 0 || !UsableSlot(file) || position > bound_) {
        return false;
    }
    vell::MutexLock lock(slots_[file].lock);
    ssize_t got = vell::FileSystem::Current().PRead(slots_[file].fd, buffer, length,
                                                    static_cast<off_t>(position));
    if (got == static_cast<ssize_t>(length)) {
        return true;
    }
    if (got < 0) {
        vell::OutputLine("Read file error -- ReadFile errorid:%d", errno);
    } else {
        // Past the end of a truncated file: no stale bytes may pass for page data.
        std::memset(static_cast<uint8_t*>(buffer) + got, 0, length - got);
        vell::OutputLine("Read file error -- ReadFile errorid:%d", EIO);
    }
    vell::OutputLine("Read file error fileid:%d", file);
    return false;
}

bool DataFileSet::Write(const void* buffer, uint32_t length, int file, uint32_t position) {
    if (buffer == nullptr || length == 0 || !UsableSlot(file) || position > bound_ ||
        static_cast<uint64_t>(position) + length > bound_) {
        return false;
    }
    vell::MutexLock lock(slots_[file].lock);
    ssize_t put = vell::FileSystem::Current().PWrite(slots_[file].fd, buffer, length,
                                                     static_cast<off_t>(position));
    if (put == static_cast<ssize_t>(length)) {
        return true;
    }
    vell::OutputLine("Write file error -- WriteFile errorid:%d,", put < 0 ? errno : ENOSPC);
    vell::OutputLine("Write file error fileid:%d", file);
    return false;
}

bool DataFileSet::SizeOf(int file, uint64_t& length) {
    return vell::FileSystem::Current().Size(slots_[file].fd, length) == 0;
}

bool DataFileSet::ResetSize(uint32_t length, int file) {
    if (!UsableSlot(file)) {
        return false;
    }
    vell::MutexLock lock(slots_[file].lock);
    uint64_t current = 0;
    if (!SizeOf(file, current)) {
        return false;
    }
    if (current == length) {
        return true;
    }
    if (vell::FileSystem::Current().Truncate(slots_[file].fd, static_cast<off_t>(length)) != 0) {
        vell::OutputLine("Reset file error -- Seek file failed errorid:%d", errno);
        return false;
    }
    return true;
}

bool DataFileSet::GetSize(int file, uint32_t& length) {
    uint64_t full = 0;
    if (!GetSize64(file, full)) {
        return false;
    }
    length = static_cast<uint32_t>(full);
    return true;
}

bool DataFileSet::GetSize64(int file, uint64_t& length) {
    if (!UsableSlot(file)) {
        return false;
    }
    vell::MutexLock lock(slots_[file].lock);
    return SizeOf(file, length);
}

bool DataFileSet::Flush(int file) {
    if (!UsableSlot(file)) {
        return false;
    }
    vell::MutexLock lock(slots_[file].lock);
    return vell::FileSystem::Current().Sync(slots_[file].fd) == 0;
}

int DataFileSet::AddFile() {
    if (file_count_ >= kMaxFiles) {
        return -1;
    }
    ++file_count_;
    std::string name = FileName(base_name_, file_count_);
    int fd = OpenOne(name, true);
    if (fd < 0 && errno == EEXIST) {
        // A file past the set's count belongs to no pool: it is what a change that never
        // committed left behind when the process died. It is taken over, emptied.
        fd = OpenOne(name, false);
        if (fd >= 0 && vell::FileSystem::Current().Truncate(fd, 0) != 0) {
            vell::FileSystem::Current().Close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        // The count stays raised with an empty slot, so the number is refused from now on.
        vell::OutputLine("Create new file failed--%s", name.c_str());
        return 0;
    }
    slots_[file_count_].fd = fd;
    return file_count_;
}

int DataFileSet::OpenNextFile() {
    if (!opened_ || file_count_ >= kMaxFiles) {
        return 0;
    }
    const int file = file_count_ + 1;
    std::string name = FileName(base_name_, file);
    int fd = OpenOne(name, false);
    if (fd < 0 && errno == ENOENT && sharing_ != Sharing::kReadOnly) {
        fd = OpenOne(name, true);
    }
    if (fd < 0) {
        vell::OutputLine("Create new file failed--%s", name.c_str());
        return 0;
    }
    slots_[file].fd = fd;
    file_count_ = file;
    return file;
}

bool DataFileSet::RemoveLastFile() {
    if (file_count_ < 2) {
        return false;
    }
    const int file = file_count_;
    CloseFile(file);
    --file_count_;
    return vell::FileSystem::Current().Unlink(FileName(base_name_, file)) == 0;
}

bool DataFileSet::CloseFile(int file) {
    if (file < 0 || file > file_count_) {
        return false;
    }
    if (slots_[file].fd >= 0) {
        vell::FileSystem::Current().Close(slots_[file].fd);  // closing also drops the flock
        slots_[file].fd = -1;
    }
    return true;
}

bool DataFileSet::CloseAll() {
    for (int k = 1; k <= file_count_; ++k) {
        CloseFile(k);
    }
    return true;
}

bool DataFileSet::DeleteAll() {
    for (int k = 1; k <= file_count_; ++k) {
        CloseFile(k);
        if (vell::FileSystem::Current().Unlink(FileName(base_name_, k)) != 0) {
            return false;
        }
    }
    Reset();
    return true;
}

void DataFileSet::Reset() {
    for (Slot& slot : slots_) {
        if (slot.fd >= 0) {
            vell::FileSystem::Current().Close(slot.fd);
        }
        slot.fd = -1;
    }
    file_count_ = 0;
    bound_ = 0;
    opened_ = false;
    base_name_.clear();
}

}  // namespace brindle
