#include "pool/shared_state.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "vell/output.h"

namespace brindle {
namespace {

// The file's layout; every field is little-endian and naturally aligned (the mapping is
// shared only by processes of this machine, which all read it with this code).
constexpr size_t kFileSize = 2048;
constexpr uint32_t kMagic = 0x48535242u;  // "BRSH"
constexpr uint32_t kVersion = 2;
constexpr size_t kMagicAt = 0;
constexpr size_t kVersionAt = 4;
constexpr size_t kWakeWordAt = 8;   // u32 futex word, raised at each Publish
constexpr size_t kWaitersAt = 12;   // u32 processes waiting on it
constexpr size_t kSeqLockAt = 16;   // u64, odd while the fields below change
constexpr size_t kSequenceAt = 24;  // PublishedState, five u64
constexpr size_t kJournalEndAt = 32;
constexpr size_t kRunAt = 40;
constexpr size_t kGenerationAt = 48;
constexpr size_t kBaseAt = 56;
constexpr size_t kFreeTailAt = 72;
constexpr size_t kDurabilityAt = 64;  // u32: shared writers' level + 1; 0 while unset
constexpr size_t kSlotsAt = 128;      // kSlots slots of 16 bytes: u64 mark, u32 calls, u32 pid
constexpr size_t kSlotSize = 16;
// One u32 per slot, set while the slot's process follows the commits of others (a change
// feed): it reads every journal record, not only the pages of its calls.
constexpr size_t kFollowersAt = kSlotsAt + SharedState::kSlots * kSlotSize;
static_assert(kFollowersAt + SharedState::kSlots * 4 <= kFileSize);

// Lock bytes.
constexpr int kOpenByte = 0;
constexpr int kPresentByte = 1;
constexpr int kWritersByte = 2;
constexpr int kModeByte = 3;
constexpr int kWriteByte = 4;
constexpr int kSlotByte = 64;

constexpr std::chrono::microseconds kReaderPoll{50};

std::atomic_ref<uint64_t> U64(uint8_t* at) {
    return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(at));
}
std::atomic_ref<uint32_t> U32(uint8_t* at) {
    return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(at));
}

long Futex(uint32_t* word, int operation, uint32_t value, const timespec* timeout) {
    return syscall(SYS_futex, word, operation, value, timeout, nullptr, 0);
}

// The pools this process holds for writing, by the identity of their shared file: a second
// writing open in one process is refused as it always was, whatever the other processes do.
std::mutex writers_lock;
std::set<std::pair<dev_t, ino_t>> writing_here;

struct flock ByteLock(int byte, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return lock;
}

}  // namespace

SharedState::~SharedState() {
    Close();
}

std::string SharedState::PathFor(const std::string& base_path) {
    return base_path + ".shared";
}

bool SharedState::Lock(int byte, short type, bool wait) const {
    if (fd_ < 0) {
        return true;
    }
    struct flock lock = ByteLock(byte, type);
    for (;;) {
        if (fcntl(fd_, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

void SharedState::Unlock(int byte) const {
    Lock(byte, F_UNLCK, false);
}

short SharedState::Holder(int byte, short type) const {
    if (fd_ < 0) {
        return F_UNLCK;
    }
    struct flock lock = ByteLock(byte, type);
    if (fcntl(fd_, F_OFD_GETLK, &lock) != 0) {
        return F_UNLCK;
    }
    return lock.l_type;
}

OpenFailure SharedState::Open(const std::string& base_path, Access access, Durability durability) {
    Close();
    const std::string path = PathFor(base_path);
    if (!OpenFile(path)) {
        if (errno == ENOENT ||
            (access == Access::kReadOnly && (errno == EACCES || errno == EROFS))) {
            // No directory (the open fails later, saying why), or a reader of files it may
            // not write beside: alone, on a private copy.
            private_ = true;
            first_ = true;
            return MapFile() ? (Initialize(), OpenFailure::kNone) : OpenFailure::kFailed;
        }
        vell::OutputLine("Open shared state failed errorid:%d", errno);
        return errno == EACCES || errno == EROFS ? OpenFailure::kPermission : OpenFailure::kFailed;
    }
    if (access != Access::kReadOnly && !RegisterWriter()) {
        vell::OutputLine("Database already open in this process");
        Close();
        return OpenFailure::kFailed;
    }
    const OpenFailure mode = TakeModeLocks(access);
    if (mode != OpenFailure::kNone) {
        Close();
        return mode;
    }
    first_ = Lock(kPresentByte, F_WRLCK, false);
    Lock(kPresentByte, F_RDLCK, true);  // converts the exclusive lock, or takes a shared one
    if (access != Access::kReadOnly) {
        Lock(kWritersByte, F_RDLCK, true);
    }
    struct stat status {};
    if (fstat(fd_, &status) != 0 ||
        (status.st_size < static_cast<off_t>(kFileSize) && ftruncate(fd_, kFileSize) != 0) ||
        !MapFile()) {
        vell::OutputLine("Map shared state failed errorid:%d", errno);
        Close();
        return OpenFailure::kFailed;
    }
    if (first_ || U32(At(kMagicAt)).load() != kMagic || U32(At(kVersionAt)).load() != kVersion) {
        Initialize();
    }
    if (!CheckDurability(access, durability)) {
        Close();
        return OpenFailure::kDurabilityMismatch;
    }
    if (access != Access::kExclusive && !ClaimSlot()) {
        vell::OutputLine("No free reader slot in the shared state");
        Close();
        return OpenFailure::kFailed;
    }
    return OpenFailure::kNone;
}

// Opens the file with the open lock held. The last process to close the pool removes the
// file under that lock, so a file opened before is checked to be still the one at the path.
bool SharedState::OpenFile(const std::string& path) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            return false;
        }
        if (!Lock(kOpenByte, F_WRLCK, true)) {
            close(fd_);
            fd_ = -1;
            return false;
        }
        struct stat opened {};
        struct stat named {};
        if (fstat(fd_, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
            open_lock_held_ = true;
            path_ = path;
            return true;
        }
        close(fd_);
        fd_ = -1;
    }
    errno = EAGAIN;
    return false;
}

// An exclusive writer holds the mode byte exclusively and shared writers hold it shared, so
// each is refused while the other kind holds the pool; a reader takes nothing.
OpenFailure SharedState::TakeModeLocks(Access access) {
    if (access == Access::kReadOnly) {
        return OpenFailure::kNone;
    }
    const short type = access == Access::kExclusive ? F_WRLCK : F_RDLCK;
    if (Lock(kModeByte, type, false)) {
        return OpenFailure::kNone;
    }
    if (access == Access::kExclusive && Holder(kModeByte, F_WRLCK) == F_RDLCK) {
        return OpenFailure::kSharedByOthers;
    }
    return OpenFailure::kLocked;
}

bool SharedState::MapFile() {
    void* mapped = private_ ? mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE,
                                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                            : mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (mapped == MAP_FAILED) {
        return false;
    }
    base_ = static_cast<uint8_t*>(mapped);
    return true;
}

// Nobody else holds the pool: the state is made anew, but the sequence goes on from where it
// was, so that numbers seen by watchers never go back.
void SharedState::Initialize() {
    const bool known = U32(At(kMagicAt)).load() == kMagic && U32(At(kVersionAt)).load() == kVersion;
    const uint64_t sequence = known ? U64(At(kSequenceAt)).load() : 0;
    const uint64_t generation = known ? U64(At(kGenerationAt)).load() : 0;
    std::memset(base_ + kWakeWordAt, 0, kFileSize - kWakeWordAt);
    U64(At(kSequenceAt)).store(sequence);
    U64(At(kBaseAt)).store(sequence);
    U64(At(kGenerationAt)).store(generation + 1);
    U32(At(kVersionAt)).store(kVersion);
    U32(At(kMagicAt)).store(kMagic);
}

bool SharedState::CheckDurability(Access access, Durability durability) {
    if (access != Access::kShared) {
        return true;
    }
    const uint32_t wanted = static_cast<uint32_t>(durability) + 1;
    uint32_t set = U32(At(kDurabilityAt)).load();
    // The level of the shared writers holding the pool; set anew when none does.
    if (set == 0 || Holder(kModeByte, F_WRLCK) == F_UNLCK) {
        U32(At(kDurabilityAt)).store(wanted);
        return true;
    }
    return set == wanted;
}

bool SharedState::ClaimSlot() {
    for (int slot = 0; slot < kSlots; ++slot) {
        if (Lock(kSlotByte + slot, F_WRLCK, false)) {
            uint8_t* at = At(kSlotsAt + slot * kSlotSize);
            U64(at).store(0);
            U32(at + 8).store(0);
            U32(at + 12).store(static_cast<uint32_t>(getpid()));
            U32(At(kFollowersAt + slot * 4)).store(0);
            slot_ = slot;
            return true;
        }
    }
    return private_;
}

void SharedState::FinishOpen() {
    if (open_lock_held_) {
        Unlock(kOpenByte);
        open_lock_held_ = false;
    }
}

bool SharedState::OtherWriters() const {
    return Holder(kWritersByte, F_WRLCK) != F_UNLCK;
}

bool SharedState::BeginClose() {
    if (fd_ < 0) {
        return true;
    }
    if (!open_lock_held_ && Lock(kOpenByte, F_WRLCK, true)) {
        open_lock_held_ = true;
    }
    return !OtherWriters();
}

bool SharedState::RegisterWriter() {
    struct stat status {};
    if (fstat(fd_, &status) != 0) {
        return false;
    }
    std::lock_guard<std::mutex> guard(writers_lock);
    if (!writing_here.emplace(status.st_dev, status.st_ino).second) {
        return false;
    }
    registered_ = {status.st_dev, status.st_ino};
    writer_registered_ = true;
    return true;
}

void SharedState::Close() {
    if (writer_registered_) {
        std::lock_guard<std::mutex> guard(writers_lock);
        writing_here.erase(registered_);
        writer_registered_ = false;
    }
    if (base_ != nullptr) {
        if (slot_ >= 0) {
            uint8_t* at = At(kSlotsAt + slot_ * kSlotSize);
            U32(at + 8).store(0);
            U64(at).store(0);
            U32(At(kFollowersAt + slot_ * 4)).store(0);
        }
        munmap(base_, kFileSize);
        base_ = nullptr;
    }
    if (fd_ >= 0) {
        // The last process out removes the file, so that nothing of it outlives the pool's
        // use; it is made anew by the next open.
        if ((open_lock_held_ || Lock(kOpenByte, F_WRLCK, true)) &&
            Lock(kPresentByte, F_WRLCK, false)) {
            unlink(path_.c_str());
        }
        close(fd_);  // drops every lock of this open file description
        fd_ = -1;
    }
    slot_ = -1;
    open_lock_held_ = false;
    private_ = false;
    first_ = false;
}

PublishedState SharedState::Read() const {
    PublishedState state;
    for (;;) {
        const uint64_t before = U64(At(kSeqLockAt)).load(std::memory_order_acquire);
        if (before % 2 == 0) {
            // Acquire loads keep the second look at the lock after them.
            state.sequence = U64(At(kSequenceAt)).load(std::memory_order_acquire);
            state.journal_end = U64(At(kJournalEndAt)).load(std::memory_order_acquire);
            state.run = U64(At(kRunAt)).load(std::memory_order_acquire);
            state.generation = U64(At(kGenerationAt)).load(std::memory_order_acquire);
            state.base_sequence = U64(At(kBaseAt)).load(std::memory_order_acquire);
            state.free_tail = U64(At(kFreeTailAt)).load(std::memory_order_acquire);
            if (U64(At(kSeqLockAt)).load(std::memory_order_relaxed) == before) {
                return state;
            }
        }
        std::this_thread::yield();
    }
}

uint64_t SharedState::Sequence() const {
    return U64(At(kSequenceAt)).load(std::memory_order_seq_cst);
}

void SharedState::Publish(const PublishedState& state) {
    auto lock = U64(At(kSeqLockAt));
    // Publishers take turns (the write lock, or the one writing process), so an odd lock
    // here was left by a publisher that died between its two steps: it is made even again
    // first, or every later publish would leave it odd and readers would wait for ever.
    const uint64_t was = lock.load(std::memory_order_acquire);
    lock.store(was + (was % 2 == 0 ? 1 : 2), std::memory_order_seq_cst);
    // Release stores keep the lock's odd value before them.
    U64(At(kJournalEndAt)).store(state.journal_end, std::memory_order_release);
    U64(At(kRunAt)).store(state.run, std::memory_order_release);
    U64(At(kGenerationAt)).store(state.generation, std::memory_order_release);
    U64(At(kBaseAt)).store(state.base_sequence, std::memory_order_release);
    U64(At(kFreeTailAt)).store(state.free_tail, std::memory_order_release);
    U64(At(kSequenceAt)).store(state.sequence, std::memory_order_seq_cst);
    lock.fetch_add(1, std::memory_order_release);
    Wake();
}

void SharedState::Wake() {
    if (base_ == nullptr) {
        return;
    }
    U32(At(kWakeWordAt)).fetch_add(1, std::memory_order_seq_cst);
    if (!private_ && U32(At(kWaitersAt)).load(std::memory_order_seq_cst) != 0) {
        Futex(reinterpret_cast<uint32_t*>(At(kWakeWordAt)), FUTEX_WAKE, INT_MAX, nullptr);
    }
}

uint64_t SharedState::WaitForChange(uint64_t seen, int timeout_ms) const {
    const uint32_t word = U32(At(kWakeWordAt)).load(std::memory_order_seq_cst);
    uint64_t now = Sequence();
    if (now != seen || timeout_ms <= 0) {
        return now;
    }
    if (private_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return Sequence();
    }
    U32(At(kWaitersAt)).fetch_add(1, std::memory_order_seq_cst);
    now = Sequence();
    if (now == seen) {
        timespec timeout{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
        Futex(reinterpret_cast<uint32_t*>(At(kWakeWordAt)), FUTEX_WAIT, word, &timeout);
        now = Sequence();
    }
    U32(At(kWaitersAt)).fetch_sub(1, std::memory_order_seq_cst);
    return now;
}

void SharedState::LockWriters() {
    Lock(kWriteByte, F_WRLCK, true);
}

bool SharedState::TryLockWriters() {
    return Lock(kWriteByte, F_WRLCK, false);
}

void SharedState::UnlockWriters() {
    Unlock(kWriteByte);
}

void SharedState::EnterCall() {
    if (slot_ >= 0) {
        U32(At(kSlotsAt + slot_ * kSlotSize + 8)).fetch_add(1, std::memory_order_seq_cst);
    }
}

void SharedState::LeaveCall() {
    if (slot_ >= 0) {
        U32(At(kSlotsAt + slot_ * kSlotSize + 8)).fetch_sub(1, std::memory_order_seq_cst);
    }
}

void SharedState::SetMark(uint64_t sequence) {
    if (slot_ >= 0) {
        U64(At(kSlotsAt + slot_ * kSlotSize)).store(sequence, std::memory_order_seq_cst);
    }
}

void SharedState::SetFollowing(bool following) {
    if (slot_ >= 0) {
        U32(At(kFollowersAt + slot_ * 4)).store(following ? 1 : 0, std::memory_order_seq_cst);
    }
}

bool SharedState::WaitForReaders(uint64_t sequence, std::chrono::milliseconds limit) const {
    return WaitForSlots(sequence, limit, kSlotsAt + 8, kSlotSize);
}

bool SharedState::WaitForFollowers(uint64_t sequence, std::chrono::milliseconds limit) const {
    return WaitForSlots(sequence, limit, kFollowersAt, 4);
}

// Waits while some other live process has a non-zero word (slot i's at word_at + i *
// word_step) and a mark older than `sequence`.
bool SharedState::WaitForSlots(uint64_t sequence, std::chrono::milliseconds limit, size_t word_at,
                               size_t word_step) const {
    if (base_ == nullptr || private_) {
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int slot = 0; slot < kSlots; ++slot) {
        if (slot == slot_) {
            continue;
        }
        uint8_t* mark = At(kSlotsAt + slot * kSlotSize);
        uint8_t* word = At(word_at + slot * word_step);
        bool checked_alive = false;
        while (U32(word).load(std::memory_order_seq_cst) != 0 &&
               U64(mark).load(std::memory_order_seq_cst) < sequence) {
            // Words left by a process that died mean nothing: its slot is free.
            if (!checked_alive) {
                if (Holder(kSlotByte + slot, F_WRLCK) == F_UNLCK) {
                    break;
                }
                checked_alive = true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(kReaderPoll);
        }
    }
    return true;
}

}  // namespace brindle
