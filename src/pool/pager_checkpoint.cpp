// Checkpoints of the Pager, and its thread: committed pages go to their places in the data
// files off the callers' path, and idle pages leave the cache.
#include <algorithm>
#include <chrono>

#include "pool/pager.h"
#include "pool/write_transaction.h"
#include "vell/date_time.h"
#include "vell/output.h"

namespace brindle {

namespace {

// How long a checkpoint waits for other processes' calls on older snapshots.
constexpr std::chrono::milliseconds kReaderWait{2000};
constexpr std::chrono::milliseconds kFollowerWait{1000};

}  // namespace

bool Pager::Checkpoint() {
    if (options_.access == Access::kReadOnly) {
        return true;
    }
    if (options_.access == Access::kShared) {
        // Shared writers checkpoint from the journal with every process's writers held off.
        brindle::WriterGate gate(this);
        vell::MutexLock lock(checkpoint_mutex_);
        return SharedCheckpoint();
    }
    vell::MutexLock lock(checkpoint_mutex_);
    return CheckpointLocked();
}

// Takes what is committed under the pending lock, writes it with no lock held, and drops
// from the unwritten lists what was not committed anew meanwhile. The journal is synced
// before any of its pages reaches a data file, and the data files and their directory before
// the journal is emptied; it is emptied only when nothing was appended since the snapshot.
bool Pager::CheckpointLocked() {
    std::vector<std::pair<uint64_t, Unwritten>> pages;
    std::vector<std::pair<int, Unwritten>> heads;
    uint64_t end = 0;
    uint64_t appended = 0;
    int file_count = 0;
    bool directory_unsynced = false;
    {
        vell::MutexLock lock(pending_mutex_);
        if (!journal_ ||
            (journal_->Size() == 0 && unwritten_.empty() && unwritten_heads_.empty())) {
            return true;
        }
        pages.assign(unwritten_.begin(), unwritten_.end());
        // In page order: the writes then mostly run forward through the files.
        std::sort(pages.begin(), pages.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        heads.assign(unwritten_heads_.begin(), unwritten_heads_.end());
        end = journal_->Size();
        appended = journal_->LastSequence();
        file_count = committed_file_count_;
        directory_unsynced = directory_unsynced_;
    }
    if (!OtherProcessesDoneWith(appended)) {
        return false;
    }
    bool written = !Syncs() || journal_->Sync(appended);
    // File heads of files > 1 first and the main head last, so that it never counts pages
    // that are not yet in place.
    std::sort(heads.begin(), heads.end(),
              [](const auto& a, const auto& b) { return (a.first == 1) < (b.first == 1); });
    for (auto& [number, area] : pages) {
        written =
            written && files_.Write(area.image->data(), static_cast<uint32_t>(area.image->size()),
                                    area.file, area.position);
    }
    for (auto& [file, area] : heads) {
        written = written && files_.Write(area.image->data(),
                                          static_cast<uint32_t>(area.image->size()), file, 0);
    }
    if (written && Syncs()) {
        for (int file = 1; file <= file_count; ++file) {
            written = written && files_.Flush(file);
        }
        written = written && (!directory_unsynced || SyncDirectory());
    }
    if (!written) {
        vell::OutputLine("Checkpoint failed, journal kept");
        return false;
    }
    std::vector<Page*> unpin;
    {
        vell::MutexLock lock(pending_mutex_);
        for (auto& [number, area] : pages) {
            auto found = unwritten_.find(number);
            if (found != unwritten_.end() && found->second.sequence == area.sequence) {
                if (found->second.page != nullptr) {
                    unpin.push_back(found->second.page);
                }
                unwritten_.erase(found);
            }
        }
        for (auto& [file, area] : heads) {
            auto found = unwritten_heads_.find(file);
            if (found != unwritten_heads_.end() && found->second.sequence == area.sequence) {
                unwritten_heads_.erase(found);
            }
        }
        if (directory_unsynced && Syncs() && committed_file_count_ == file_count) {
            directory_unsynced_ = false;
        }
        // Every committed change is in place now; a journal that cannot be emptied is only
        // replayed once more at the next open, which rewrites the same bytes. The emptying is
        // synced before anything is appended again: records of the old run that came back
        // after a power cut, in part, would otherwise be replayed up to where a new record
        // cut them off, taking pages back to an older state than the data files hold.
        if (journal_->Size() == end && journal_->Reset(Syncs())) {
            PublishEmptied(appended);
        }
    }
    for (Page* page : unpin) {
        ReleasePage(page);
    }
    return true;
}

// Readers in other processes in a call on an older snapshot read the data files as they
// were: their calls end first (a checkpoint that cannot wait comes again later). Followers
// that have not read every record yet get a moment to; one that stays behind learns of a gap
// instead.
bool Pager::OtherProcessesDoneWith(uint64_t sequence) {
    if (!shared_.WaitForReaders(sequence, kReaderWait)) {
        return false;
    }
    shared_.WaitForFollowers(sequence, kFollowerWait);
    return true;
}

void Pager::RequestCheckpoint() {
    vell::MutexLock lock(thread_mutex_);
    checkpoint_requested_ = true;
    thread_wake_.notify_all();
}

bool Pager::StartThread() {
    {
        vell::MutexLock lock(thread_mutex_);
        thread_ended_ = false;
    }
    try {
        thread_ = std::jthread([this](std::stop_token stop) {
            RunThread(stop);
            vell::MutexLock lock(thread_mutex_);
            thread_ended_ = true;
            thread_wake_.notify_all();
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// Asks the thread to stop and joins it; when it has not ended within 10 s (stuck in I/O) the
// pager says so before it goes on waiting.
void Pager::StopThread() {
    if (!thread_.joinable()) {
        return;
    }
    thread_.request_stop();
    {
        vell::MutexLock lock(thread_mutex_);
        if (!thread_wake_.wait_for(thread_mutex_, std::chrono::seconds(10),
                                   [&]() REQUIRES(thread_mutex_) { return thread_ended_; })) {
            vell::OutputLine("Terminate page thread ok");
        }
    }
    thread_.join();
    vell::OutputLine("Check thread join ok");
}

// True when the pager asked the thread to stop, at once or within the given time. A
// checkpoint request ends the sleep early when `wake_for_checkpoint` is set.
bool Pager::SleepUnlessStopped(const std::stop_token& stop, uint64_t milliseconds,
                               bool wake_for_checkpoint) {
    vell::MutexLock lock(thread_mutex_);
    thread_wake_.wait_for(
        thread_mutex_, stop, std::chrono::milliseconds(milliseconds),
        [&]() REQUIRES(thread_mutex_) { return wake_for_checkpoint && checkpoint_requested_; });
    return stop.stop_requested();
}

// The thread's body: checkpoints when asked, and every check period drops idle pages from a
// full cache and checkpoints what the journal holds. Every sleep ends as soon as the pager
// asks the thread to stop.
void Pager::RunThread(const std::stop_token& stop) {
    using Clock = std::chrono::steady_clock;
    const PoolOptions& o = options_;
    const uint32_t step_ms = std::max<uint32_t>(o.check_step_ms, 1);
    const auto period = std::chrono::milliseconds(
        std::max<uint64_t>(static_cast<uint64_t>(o.check_period) * 1000, o.check_min_period_ms));
    const int64_t timeout = o.page_timeout == 0 ? 1 : o.page_timeout;
    auto next_pass = Clock::now() + std::chrono::milliseconds(o.check_first_delay_ms);

    while (!SleepUnlessStopped(stop, step_ms, true)) {
        bool requested = false;
        {
            vell::MutexLock lock(thread_mutex_);
            requested = std::exchange(checkpoint_requested_, false);
        }
        if (requested) {
            Checkpoint();
        }
        if (Clock::now() < next_pass) {
            continue;
        }
        const int64_t now = vell::DateTime::Now().Count();
        uint64_t dropped = 0;
        bool walk_done = cache_.CachedCount() < cache_.MaxCached();
        if (!walk_done) {
            vell::OutputText("Check page timeout");
        }
        while (!walk_done && !stop.stop_requested()) {
            vell::OutputText("Enter lock");
            if (SleepUnlessStopped(stop, o.check_retry_pause_ms, false)) {
                return;
            }
            walk_done = cache_.DropIdle(stop, now, timeout, o.max_check_pages, dropped);
        }
        if (!stop.stop_requested() && JournalSize() > 0) {
            Checkpoint();
        }
        next_pass = Clock::now() + period;
    }
}

}  // namespace brindle
