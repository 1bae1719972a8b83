#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include <sys/types.h>

#include "pool/pool_options.h"

namespace brindle {

// What the writing process publishes after each commit and each time it empties the journal.
struct PublishedState {
    uint64_t sequence = 0;       // the number of the last committed journal record
    uint64_t journal_end = 0;    // where the journal's valid records end
    uint64_t run = 0;            // the journal's run (see Journal)
    uint64_t generation = 0;     // raised each time the journal is emptied or removed
    uint64_t base_sequence = 0;  // every record up to it is in the data files
    uint64_t free_tail = 0;      // the free list's tail after the last commit (0: empty)
};

// The side file "<base>.shared" through which the processes holding one pool meet: mapped by
// each of them, it holds the published state (a sequence lock keeps the copy a reader takes
// whole), a wake-up word for waiters (a futex), and one slot per process that reads pages
// from the data files. Nothing in it is a second copy of the pool: it is rebuilt from the
// journal whenever the first process opens the pool, and can be deleted while nobody has
// the pool open.
//
// Locks are fcntl locks of the open file description (OFD), so the kernel drops them when a
// process dies, whatever state it left, and two opens in one process meet as two processes
// would. Byte 0 serialises opening and closing; byte 1 is held shared by every process that
// has the pool open, byte 2 by every writing process; byte 3 is held exclusively by an
// exclusive writer and shared by shared writers, which is how each refuses the other; byte 4
// is the write lock of shared writers; bytes from 64 claim the reader slots.
//
// Readers and checkpoints. A process reads a page from the data files only while it is in a
// call (EnterCall) with its mark set to the commit its snapshot is at. A checkpoint about to
// write the pages of commit C into the data files first waits until every live process in a
// call has a mark of C or more (WaitForReaders); a reader starting a call publishes its mark
// and then checks the sequence again, so it either sees C (and takes in C before it reads)
// or is seen by the checkpoint. Readers never wait; a checkpoint waits at most for the calls
// in flight, never for idle processes, and gives up after a bound (the journal then waits
// for the next checkpoint). A process with a change feed also marks its slot as following:
// before the journal is emptied, a checkpoint waits a shorter bound for following processes
// to read every record (WaitForFollowers), and empties it anyway after that.
class SharedState {
public:
    static constexpr int kSlots = 64;

    SharedState() = default;
    ~SharedState();
    SharedState(const SharedState&) = delete;
    SharedState& operator=(const SharedState&) = delete;

    static std::string PathFor(const std::string& base_path);

    // Opens (creating it when it does not exist) and maps the file of the pool at
    // `base_path`, takes the locks of `access`, and claims a reader slot (kShared, kReadOnly).
    // Holds the open lock until FinishOpen, so that nobody else opens or closes meanwhile.
    // A kReadOnly process that may not create or write the file runs on a private copy:
    // alone, it sees what the files hold at open (Private()). kNone on success.
    OpenFailure Open(const std::string& base_path, Access access, Durability durability);
    void FinishOpen();
    // True when no other process held the pool when this one opened it.
    bool First() const { return first_; }
    // True when another writing process holds the pool now (checked with the lock).
    bool OtherWriters() const;
    // Takes the open lock for the close sequence; true when no other writing process holds
    // the pool (this one is the last, and may empty and remove the journal).
    bool BeginClose();
    // Releases the slot and every lock, and unmaps.
    void Close();
    bool IsOpen() const { return base_ != nullptr; }
    bool Private() const { return private_; }

    // --- the published state ---
    PublishedState Read() const;
    // The published sequence: one load from shared memory.
    uint64_t Sequence() const;
    // Publishes (by the process that may write now) and wakes every waiter.
    void Publish(const PublishedState& state);
    // Waits until the sequence differs from `seen` or `timeout_ms` passes; the sequence.
    uint64_t WaitForChange(uint64_t seen, int timeout_ms) const;
    // Wakes every waiter without publishing anything.
    void Wake();

    // --- shared writers ---
    void LockWriters();
    // False at once when another process holds the lock.
    bool TryLockWriters();
    void UnlockWriters();

    // --- this process's reader slot ---
    void EnterCall();
    void LeaveCall();
    void SetMark(uint64_t sequence);
    // Waits until no live process is in a call on a snapshot older than `sequence`; false
    // when that has not happened within `limit`.
    bool WaitForReaders(uint64_t sequence, std::chrono::milliseconds limit) const;
    // Marks this process as following every commit (it has a change feed), so that emptying
    // the journal first gives it a moment to read the records it has not read.
    void SetFollowing(bool following);
    // Waits until every live following process has read up to `sequence`; false when that
    // has not happened within `limit`.
    bool WaitForFollowers(uint64_t sequence, std::chrono::milliseconds limit) const;

private:
    bool Lock(int byte, short type, bool wait) const;
    void Unlock(int byte) const;
    // The type of a lock another process holds on `byte` that conflicts with `type`;
    // F_UNLCK when none.
    short Holder(int byte, short type) const;
    OpenFailure TakeModeLocks(Access access);
    bool MapFile();
    void Initialize();
    bool ClaimSlot();
    bool WaitForSlots(uint64_t sequence, std::chrono::milliseconds limit, size_t word_at,
                      size_t word_step) const;
    bool RegisterWriter();
    bool OpenFile(const std::string& path);
    bool CheckDurability(Access access, Durability durability);
    uint8_t* At(size_t offset) const { return base_ + offset; }

    int fd_ = -1;
    std::string path_;
    uint8_t* base_ = nullptr;
    bool private_ = false;
    bool first_ = false;
    bool open_lock_held_ = false;
    int slot_ = -1;
    bool writer_registered_ = false;
    std::pair<dev_t, ino_t> registered_{};
};

// Holds the shared writers' lock for a scope (no lock for a null state).
class SharedWriteLock {
public:
    explicit SharedWriteLock(SharedState* state) : state_(state) {
        if (state_ != nullptr) {
            state_->LockWriters();
        }
    }
    ~SharedWriteLock() {
        if (state_ != nullptr) {
            state_->UnlockWriters();
        }
    }
    SharedWriteLock(const SharedWriteLock&) = delete;
    SharedWriteLock& operator=(const SharedWriteLock&) = delete;

private:
    SharedState* state_;
};

}  // namespace brindle
