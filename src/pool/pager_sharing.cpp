// How a Pager follows the other processes holding its pool: opening beside them, taking in
// their commits from the journal, publishing its own, and checkpoints of shared writers.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <thread>

#include "pool/pager.h"
#include "pool/write_transaction.h"
#include "vell/library_errors.h"
#include "vell/output.h"

namespace brindle {
namespace {

// How long a reader waits for the state of a journal being emptied under it.
constexpr std::chrono::seconds kRecordsWait{20};

// The pager whose call this thread is in (EnterCall), if any.
thread_local const Pager* call_pager = nullptr;

}  // namespace

void Pager::EnterCall() {
    if (follows_others_) {
        call_pager = this;
        shared_.EnterCall();
    }
}

void Pager::LeaveCall() {
    if (follows_others_) {
        call_pager = nullptr;
        shared_.LeaveCall();
    }
}

void Pager::Publish(uint64_t sequence) {
    PublishedState state = shared_.Read();
    state.sequence = sequence;
    state.journal_end = journal_->Size();
    state.run = journal_->Run();
    state.free_tail = allocator_.FreeTail();
    shared_.Publish(state);
    // This process had taken in everything before its own record (a shared writer catches up
    // when it takes the write lock), so the next record to read is the next one appended.
    GateHeldByThisThread();
    read_offset_ = state.journal_end;
    applied_.store(sequence, std::memory_order_release);
    shared_.SetMark(sequence);
}

void Pager::PublishEmptied(uint64_t sequence) {
    PublishedState state = shared_.Read();
    state.sequence = sequence;
    state.journal_end = 0;
    state.run = journal_ ? journal_->Run() : 0;
    state.base_sequence = sequence;
    ++state.generation;
    shared_.Publish(state);
}

// A thread that waits for the gate or the write lock reads nothing meanwhile, and may be
// waiting for a thread of its own process that waits for another process's checkpoint,
// which waits for the calls in flight: so the waiting thread steps out of its call, and
// takes in what it missed once it is back (the gate's holder or the write lock's listener
// catches up before anything is read).
// Unchecked: the gate is taken either by the try or inside the wait, which the analysis
// cannot follow into the callable.
void Pager::LockGate() NO_THREAD_SAFETY_ANALYSIS {
    if (!writer_gate_.try_lock()) {
        WaitOutsideCall([this]() NO_THREAD_SAFETY_ANALYSIS { writer_gate_.lock(); });
    }
}

void Pager::WaitOutsideCall(const std::function<void()>& wait) {
    const bool in_call = call_pager == this;
    if (in_call) {
        shared_.LeaveCall();
    }
    wait();
    if (in_call) {
        shared_.EnterCall();
    }
}

void Pager::AcquireWriteLock() {
    if (options_.access != Access::kShared || write_lock_held_) {
        return;
    }
    if (!shared_.TryLockWriters()) {
        WaitOutsideCall([this] { shared_.LockWriters(); });
    }
    write_lock_held_ = true;
    if (write_lock_listener_) {
        write_lock_listener_();
    } else {
        CatchUp();
    }
    if (allocator_stale_) {
        ReloadAllocator();
    }
    // Appends go after what the others appended, in their run, numbered after theirs.
    const PublishedState state = shared_.Read();
    vell::MutexLock lock(pending_mutex_);
    if (journal_) {
        journal_->Adopt(state.journal_end, state.run, state.sequence + 1);
    }
}

void Pager::ReleaseWriteLock() {
    if (!write_lock_held_) {
        return;
    }
    write_lock_held_ = false;
    shared_.UnlockWriters();
}

// Reads a pool that other processes may hold for writing: the data files as they are, then
// every record the journal holds now, kept in memory over them. Nothing is written, created
// or repaired.
bool Pager::OpenForReading(const std::string& path) {
    files_.SetSharing(DataFileSet::Sharing::kReadOnly);
    open_failure_ = shared_.Open(path, Access::kReadOnly, options_.durability);
    if (open_failure_ != OpenFailure::kNone) {
        return false;
    }
    follows_others_ = true;
    if (!ReadHead(path, options_.page_size)) {
        open_failure_ = OpenFailure::kNotDatabase;
        return false;
    }
    if (MainHead().page_size > options_.page_size) {
        vell::OutputLine("Option page size too small");
        return false;
    }
    if (!files_.Open(path, static_cast<int>(MainHead().file_count), false,
                     DataFileSet::kPoolFileBound)) {
        open_failure_ = OpenFailure::kFailed;
        return false;
    }
    GateHeldByThisThread();  // nothing else runs during open
    reader_ = std::make_unique<Journal>();
    bool created = false;
    if (!reader_->Open(Journal::PathFor(path), false, created, true)) {
        return false;
    }
    if (!shared_.OtherWriters()) {
        // Nobody writes: the journal on disk is all there is. Its valid records (left by a
        // process that did not close the pool) are published for readers that come later.
        JournalScan scan;
        reader_->Replay([](const Journal::Entry&) { return true; }, scan);
        if (scan.damaged) {
            journal_damage_ = "journal record " + std::to_string(scan.damaged_sequence) +
                              " is damaged; it and " + std::to_string(scan.dropped_records) +
                              " later records are not read";
            vell::OutputLine("Journal damaged: %s", journal_damage_.c_str());
        }
        PublishedState state = shared_.Read();
        const uint64_t first = scan.last_sequence - std::min(scan.last_sequence, scan.records);
        if (scan.records == 0) {
            // No record to read: the data files hold every commit there is to see. A state
            // that still counts records (its writer did not empty it before it went) would
            // have readers wait for records that are gone.
            if (state.journal_end != 0 || state.base_sequence != state.sequence) {
                state.journal_end = 0;
                state.base_sequence = state.sequence;
                ++state.generation;
                shared_.Publish(state);
            }
        } else {
            state.sequence = scan.last_sequence;
            state.base_sequence = first;
            state.journal_end = scan.valid_end;
            state.run = scan.run;
            ++state.generation;
            shared_.Publish(state);
        }
    }
    const PublishedState state = shared_.Read();
    seen_generation_ = state.generation;
    applied_.store(state.base_sequence, std::memory_order_release);
    read_offset_ = 0;
    // As a call: a writer's checkpoint leaves the journal and the data files alone meanwhile.
    EnterCall();
    try {
        CatchUp();
        allocator_.FindFreeTail();  // for the structure check: readers hand out no pages
    } catch (...) {
        LeaveCall();
        throw;
    }
    LeaveCall();
    return true;
}

// Opens beside other shared writers: their journal is the pool's, and is only read, with
// their write lock held so that no checkpoint empties it meanwhile.
bool Pager::OpenShared(const std::string& path) {
    GateHeldByThisThread();  // nothing else runs during open
    SharedWriteLock lock(&shared_);
    const PublishedState state = shared_.Read();
    seen_generation_ = state.generation;
    applied_.store(state.base_sequence, std::memory_order_release);
    read_offset_ = 0;
    reader_ = std::make_unique<Journal>();
    bool created = false;
    if (!reader_->Open(Journal::PathFor(path), false, created, true)) {
        return false;
    }
    CatchUp();
    ReloadAllocator();
    return true;
}

bool Pager::CatchUp() {
    GateHeldByThisThread();
    if (!follows_others_) {
        return false;
    }
    bool changed = false;
    pages_taken_in_.clear();
    everything_taken_in_ = false;
    try {
        changed = TakeInCommits();
    } catch (...) {
        if (rollback_listener_) {
            rollback_listener_();  // whatever was taken in, caches forget everything
        }
        throw;
    }
    if (changed && pages_changed_listener_ && !everything_taken_in_) {
        pages_changed_listener_(pages_taken_in_);  // caches forget what those pages held
    } else if (changed && rollback_listener_) {
        rollback_listener_();
    }
    pages_taken_in_.clear();
    allocator_stale_ = allocator_stale_ || (changed && options_.access == Access::kShared);
    shared_.SetMark(applied_.load(std::memory_order_acquire));
    return changed;
}

bool Pager::TakeInCommits() {
    bool changed = false;
    const auto give_up = std::chrono::steady_clock::now() + kRecordsWait;
    for (;;) {
        const PublishedState state = shared_.Read();
        if (state.generation != seen_generation_) {
            changed = TakeInNewGeneration(state) || changed;
        }
        const uint64_t applied = applied_.load(std::memory_order_acquire);
        if (state.sequence <= applied) {
            break;
        }
        uint64_t read_to = read_offset_;
        uint64_t last = applied;
        const bool read = reader_->ReadSince(
            read_offset_, state.journal_end, state.run, applied + 1,
            [&](uint64_t sequence, const std::vector<Journal::Entry>& entries) {
                GateHeldByThisThread();  // CatchUp's caller holds it
                std::string notes;
                TakeInRecord(sequence, entries, notes);
                applied_.store(sequence, std::memory_order_release);
                if (commit_observer_) {
                    commit_observer_(sequence, notes, false);
                }
            },
            read_to, last);
        if (!read) {
            vell::ThrowIoError("Read journal failed -- catch up");
        }
        changed = changed || last > applied;
        read_offset_ = read_to;
        if (last >= state.sequence) {
            break;
        }
        // The records ended early: the journal is being emptied (the new generation shows
        // once the writer has synced that); look again.
        if (std::chrono::steady_clock::now() > give_up) {
            vell::ThrowIoError("Journal records missing -- catch up");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return changed;
}

// The allocator's state after other processes' commits. Only with the write lock held is
// the published free-list tail that of the state this process has taken in.
void Pager::ReloadAllocator() {
    std::map<int, PoolHead> heads;
    {
        vell::MutexLock lock(pending_mutex_);
        for (auto& [file, area] : unwritten_heads_) {
            if (file > 1) {
                heads[file] = PoolHead::Decode(area.image->data());
            }
        }
    }
    allocator_.Reload(heads, shared_.Read().free_tail);
    allocator_stale_ = false;
}

void Pager::TakeInRecord(uint64_t sequence, const std::vector<Journal::Entry>& entries,
                         std::string& notes) {
    for (const Journal::Entry& entry : entries) {
        if (entry.file == kNotesFile) {
            notes.assign(reinterpret_cast<const char*>(entry.bytes), entry.length);
        } else {
            TakeInArea(sequence, entry);
        }
    }
}

// One area of another process's commit: a file head, or a page, which replaces this
// process's copy when it has one and is kept as the page's image until the data files have
// it (LoadPage reads it there).
void Pager::TakeInArea(uint64_t sequence, const Journal::Entry& entry) {
    auto image = std::make_shared<std::vector<uint8_t>>(entry.bytes, entry.bytes + entry.length);
    const int file = static_cast<int>(entry.file);
    while (file > files_.FileCount()) {
        if (files_.OpenNextFile() < 1) {
            vell::ThrowIoError("Open data file failed -- catch up");
        }
    }
    if (entry.position == 0) {
        if (file == 1) {
            head_.Set(PoolHead::Decode(image->data()));
        }
        vell::MutexLock lock(pending_mutex_);
        unwritten_heads_[file] = Unwritten{nullptr, file, 0, image, sequence};
        return;
    }
    const uint32_t page_size = static_cast<uint32_t>(image->size());
    const uint64_t number = PageHeadReader(image->data()).PageNo();
    pages_taken_in_.push_back(number);
    {
        vell::MutexLock lock(pending_mutex_);
        auto [area, inserted] = unwritten_.try_emplace(
            number, Unwritten{nullptr, file, entry.position, image, sequence});
        if (!inserted) {
            area->second.image = image;
            area->second.sequence = sequence;
        }
    }
    std::vector<uint8_t> bytes(cache_.BufferSize(), 0);
    if (page_size > bytes.size() || !DecodeFromDisk(image->data(), bytes.data(), page_size)) {
        vell::ThrowIoError("Journal page cannot be read -- catch up");
    }
    cache_.Refresh(number, bytes.data());
}

// The journal was emptied since this process last read it: every record up to the state's
// base is in the data files. When this process had read them all, its images are simply
// no longer needed; otherwise it lost commits and reads everything afresh.
bool Pager::TakeInNewGeneration(const PublishedState& state) {
    const bool lost = applied_.load(std::memory_order_acquire) < state.base_sequence;
    ReleaseUnwritten();
    seen_generation_ = state.generation;
    read_offset_ = 0;
    bool created = false;
    reader_ = std::make_unique<Journal>();
    if (!reader_->Open(Journal::PathFor(path_), false, created, true)) {
        vell::ThrowIoError("Open journal failed -- catch up");
    }
    if (!lost) {
        return false;
    }
    everything_taken_in_ = true;
    RefreshEverything();
    applied_.store(state.base_sequence, std::memory_order_release);
    if (commit_observer_) {
        commit_observer_(state.base_sequence, {}, true);
    }
    return true;
}

// Every page held in memory is read again from the data files, and the main head too.
void Pager::RefreshEverything() {
    if (!ReadMainHeadFromFile()) {
        vell::ThrowIoError("Read pool head failed -- catch up");
    }
    while (static_cast<int>(MainHead().file_count) > files_.FileCount()) {
        if (files_.OpenNextFile() < 1) {
            vell::ThrowIoError("Open data file failed -- catch up");
        }
    }
    std::vector<uint8_t> bytes(cache_.BufferSize(), 0);
    for (uint64_t number : cache_.ResidentNumbers()) {
        int file = 0;
        uint32_t position = 0;
        if (LoadPage(number, bytes.data(), file, position)) {
            cache_.Refresh(number, bytes.data());
        } else {
            cache_.Discard(number);
        }
    }
}

bool Pager::ReadMainHeadFromFile() {
    HeldBlock buffer = cache_.HoldBuffer();
    const uint32_t length = std::min<uint32_t>(MainHead().head_area_size, cache_.BufferSize());
    if (length < kPoolHeadSize || !files_.Read(buffer.get(), length, 1, 0)) {
        return false;
    }
    head_.Set(PoolHead::Decode(buffer.get()));
    return true;
}

bool Pager::LoadUnwritten(uint64_t number, uint8_t* buffer, int& file, uint32_t& position) {
    std::shared_ptr<const std::vector<uint8_t>> image;
    {
        vell::MutexLock lock(pending_mutex_);
        auto found = unwritten_.find(number);
        if (found == unwritten_.end()) {
            return false;
        }
        image = found->second.image;
        file = found->second.file;
        position = found->second.position;
    }
    return DecodeFromDisk(image->data(), buffer, static_cast<uint32_t>(image->size()));
}

// A shared writer's checkpoint: with the write lock of all processes held, nothing is
// appended meanwhile, so the journal's records are written to their places as a replay would
// write them, and the journal is emptied. The processes that had not read every record
// learn it from the new generation.
bool Pager::SharedCheckpoint() {
    const PublishedState state = shared_.Read();
    if (state.journal_end == 0) {
        return true;
    }
    if (!OtherProcessesDoneWith(state.sequence)) {
        return false;
    }
    Journal journal;
    bool created = false;
    if (!journal.Open(Journal::PathFor(path_), false, created, true)) {
        return false;
    }
    bool written = Syncs() ? journal_->Sync(state.sequence) : true;
    uint64_t read_to = 0;
    uint64_t last = 0;
    const bool read = journal.ReadSince(
        0, state.journal_end, state.run, state.base_sequence + 1,
        [&](uint64_t, const std::vector<Journal::Entry>& entries) {
            for (const Journal::Entry& entry : entries) {
                if (entry.file == kNotesFile || !written) {
                    continue;
                }
                while (static_cast<int>(entry.file) > files_.FileCount() && written) {
                    written = files_.OpenNextFile() > 0;
                }
                written = written && files_.Write(entry.bytes, entry.length,
                                                  static_cast<int>(entry.file), entry.position);
            }
        },
        read_to, last);
    written = written && read && last == state.sequence;
    for (int file = 1; written && Syncs() && file <= files_.FileCount(); ++file) {
        written = files_.Flush(file);
    }
    written = written && (!Syncs() || SyncDirectory());
    if (!written) {
        vell::OutputLine("Checkpoint failed, journal kept");
        return false;
    }
    {
        vell::MutexLock lock(pending_mutex_);
        if (!journal_->Reset(Syncs())) {
            return false;
        }
        PublishEmptied(state.sequence);
    }
    // This process has everything up to the new base (it holds the write lock, so it caught
    // up): it reads the new run from its start, and its own images are in place.
    GateHeldByThisThread();
    seen_generation_ = shared_.Read().generation;
    read_offset_ = 0;
    ReleaseUnwritten();
    return true;
}

}  // namespace brindle
