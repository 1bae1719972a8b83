#include "api/change_feed.h"

#include <chrono>
#include <utility>
#include <vector>

#include "vell/output.h"

namespace brindle {
namespace {

// The longest a wait for a commit lasts before the thread looks around again. Commits of any
// process, this one's too, end the wait at once through the shared state's wake-up word.
constexpr int kWaitMilliseconds = 100;

// True when `path` is `ancestor` or lies below it.
bool AtOrBelow(const std::string& path, const std::string& ancestor) {
    if (ancestor.empty()) {
        return true;
    }
    return path.size() >= ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
           (path.size() == ancestor.size() || path[ancestor.size()] == '\\');
}

std::string ParentPath(const std::string& path) {
    size_t separator = path.rfind('\\');
    return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

}  // namespace

bool WatchCovers(const WatchFilter& filter, const ChangeNote& note) {
    if (filter.main_key.empty()) {
        return true;
    }
    if (filter.main_key != note.main_key) {
        return false;
    }
    if (note.kind == ChangeKind::kResync || note.path == filter.path) {
        return true;
    }
    const bool structural = note.kind == ChangeKind::kKeyAdded ||
                            note.kind == ChangeKind::kKeyDeleted ||
                            note.kind == ChangeKind::kKeyRenamed;
    if (structural && note.kind != ChangeKind::kKeyAdded && AtOrBelow(filter.path, note.path)) {
        return true;
    }
    if (!AtOrBelow(note.path, filter.path)) {
        return false;
    }
    return filter.recursive || (structural && ParentPath(note.path) == filter.path);
}

ChangeFeed::ChangeFeed(CommonTree& database) : database_(database) {
    database_.Pool()->SetCommitObserver([this](uint64_t sequence, std::string_view notes,
                                               bool gap) { OnCommit(sequence, notes, gap); });
}

ChangeFeed::~ChangeFeed() {
    Stop();
}

bool ChangeFeed::Add(WatchToken token, WatchFilter filter, WatchCallback callback) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return false;
        }
        auto watch = std::make_shared<Watch>();
        watch->filter = std::move(filter);
        watch->callback = std::move(callback);
        watch->first_entry = next_ordinal_;
        watches_[token] = std::move(watch);
        database_.Pool()->SetFollowing(true);
    }
    wake_.notify_all();
    if (OnFeedThread()) {
        return true;  // a callback adds a watch: the thread runs
    }
    std::lock_guard lock(thread_mutex_);
    if (!thread_.joinable()) {
        thread_ = std::thread([self = shared_from_this()] { self->Run(); });
    }
    return true;
}

bool ChangeFeed::Remove(WatchToken token) {
    std::unique_lock lock(mutex_);
    if (watches_.erase(token) == 0) {
        return false;
    }
    if (watches_.empty()) {
        database_.Pool()->SetFollowing(false);  // checkpoints need not wait for this process
    }
    if (!OnFeedThread()) {
        finished_.wait(lock, [&] { return running_ != token; });
    }
    return true;
}

void ChangeFeed::Stop() {
    bool stopped_before = false;
    {
        std::lock_guard lock(mutex_);
        stopped_before = std::exchange(stopping_, true);
        watches_.clear();
        queue_.clear();
        queued_bytes_ = 0;
    }
    wake_.notify_all();
    // The thread may be waiting for a commit. A second Stop (at the feed's end) may come
    // after the database is gone, and finds the thread stopped.
    if (!stopped_before && database_.Pool() != nullptr) {
        database_.Pool()->SetFollowing(false);
        database_.Pool()->WakeWaiters();
    }
    std::lock_guard lock(thread_mutex_);
    if (thread_.joinable() && OnFeedThread()) {
        thread_.detach();
    } else if (thread_.joinable()) {
        thread_.join();
    }
}

// Runs under the pager's locks: it only copies the notes into the queue.
void ChangeFeed::OnCommit(uint64_t sequence, std::string_view notes, bool gap) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || watches_.empty()) {
            return;
        }
        if (gap) {
            QueueGap(sequence);
        } else if (queue_.size() >= kMaxQueued || queued_bytes_ + notes.size() > kMaxQueuedBytes) {
            queue_.clear();
            queued_bytes_ = 0;
            QueueGap(sequence);
        } else if (!notes.empty()) {
            queue_.push_back(Entry{next_ordinal_++, sequence, std::string(notes), false});
            queued_bytes_ += notes.size();
        } else {
            return;
        }
    }
    wake_.notify_all();
}

// Gaps in a row make one resync.
void ChangeFeed::QueueGap(uint64_t sequence) {
    if (!queue_.empty() && queue_.back().gap) {
        queue_.back().sequence = sequence;
        return;
    }
    queue_.push_back(Entry{next_ordinal_++, sequence, std::string(), true});
}

void ChangeFeed::Run() {
    thread_id_.store(std::this_thread::get_id());
    for (;;) {
        std::deque<Entry> entries;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !watches_.empty(); });
            if (stopping_) {
                return;  // a callback may have closed the database: it is not touched again
            }
        }
        // Taken before the queue is looked at: a commit queues its notes before it publishes
        // its number, so one that finds the queue empty here is seen by the wait below.
        const uint64_t seen = database_.Pool()->LatestSequence();
        {
            std::unique_lock lock(mutex_);
            if (stopping_) {
                return;
            }
            entries.swap(queue_);
            queued_bytes_ = 0;
        }
        if (entries.empty()) {
            // Woken by any process's commit (this one's too) through the shared state.
            database_.Pool()->WaitForCommit(seen, kWaitMilliseconds);
        }
        for (const Entry& entry : entries) {
            Deliver(entry);
        }
        if (!entries.empty()) {
            continue;  // a callback may have closed the database: look at stopping_ first
        }
        try {
            database_.CatchUp();  // one load when no other process committed; else queues
        } catch (...) {
            vell::OutputLine("Change feed could not take in other processes' commits");
        }
    }
}

void ChangeFeed::Deliver(const Entry& entry) {
    std::vector<std::pair<WatchToken, std::shared_ptr<const Watch>>> watches;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, watch] : watches_) {
            if (watch->first_entry <= entry.ordinal) {
                watches.emplace_back(token, watch);
            }
        }
    }
    std::vector<ChangeNote> notes;
    const bool readable = !entry.gap && DecodeChangeNotes(entry.notes, notes);
    if (!entry.gap && !readable) {
        vell::OutputLine("Change notes of commit %llu cannot be read",
                         static_cast<unsigned long long>(entry.sequence));
    }
    if (!readable) {
        // Nothing readable to tell: every watch reads its main keys afresh.
        for (const auto& [token, watch] : watches) {
            Call(token, *watch,
                 Change{entry.sequence, watch->filter.main_key, "", ChangeKind::kResync, ""});
        }
        return;
    }
    for (const ChangeNote& note : notes) {
        for (const auto& [token, watch] : watches) {
            if (WatchCovers(watch->filter, note)) {
                Call(token, *watch,
                     Change{entry.sequence, note.main_key, note.path, note.kind, note.name});
            }
        }
    }
}

void ChangeFeed::Call(WatchToken token, const Watch& watch, const Change& change) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || watches_.count(token) == 0) {
            return;
        }
        running_ = token;
    }
    try {
        watch.callback(change);
    } catch (...) {
        vell::OutputLine("A watch callback threw; the change feed goes on");
    }
    {
        std::lock_guard lock(mutex_);
        running_ = 0;
    }
    finished_.notify_all();
}

}  // namespace brindle
