#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "brindle_watch.h"
#include "keys/change_notes.h"
#include "keys/common_tree.h"

namespace brindle {

// What one watch asks for (see brindle::Watch).
struct WatchFilter {
    std::string main_key;  // empty: every main key
    std::string path;      // below the main key, names joined with '\'
    bool recursive = false;
};

// Whether a watch with `filter` hears of `note`: a change of the watched key itself; one of
// a key below it when recursive, else only the adding, deleting or renaming of a direct
// child; the deletion or renaming of the watched key's ancestors (the key went with them);
// and a resync of its main key.
bool WatchCovers(const WatchFilter& filter, const ChangeNote& note);

// The change feed of one open database: the pager's commit observer queues the notes of
// every commit, and a thread of the feed (started by the first watch) decodes them and calls
// the watches' callbacks, in commit order, never under a lock of the database. While the
// queue is empty the thread looks every 10 ms whether another process committed, and has the
// database take such commits in, which queues their notes too.
//
// The queue is bounded: when it would pass kMaxQueued commits or kMaxQueuedBytes of notes,
// what it holds is dropped and every watch gets one resync instead, as it does when the pager
// reports commits lost to this process.
class ChangeFeed : public std::enable_shared_from_this<ChangeFeed> {
public:
    static constexpr size_t kMaxQueued = 4096;
    static constexpr size_t kMaxQueuedBytes = 16u << 20;

    // Becomes the commit observer of the database's pager; make it (with make_shared: its
    // thread holds it too) before any other thread uses the database.
    explicit ChangeFeed(CommonTree& database);
    // Stop.
    ~ChangeFeed();
    ChangeFeed(const ChangeFeed&) = delete;
    ChangeFeed& operator=(const ChangeFeed&) = delete;

    // Adds a watch under `token`; it hears of commits from now on. False once stopped.
    bool Add(WatchToken token, WatchFilter filter, WatchCallback callback);
    // Ends a watch: once it returns, its callback is not running and is never called again
    // (called from a callback, it returns at once: the running callback is the caller). False
    // for a token the feed does not have.
    bool Remove(WatchToken token);
    // Ends every watch and joins the feed's thread; the database must stay open until it
    // returns. The feed then only drops what the observer hands it. Called from a callback
    // (the host closes the database there), the thread is let go instead: once the callback
    // returns it ends without touching the database again.
    void Stop();

private:
    struct Watch {
        WatchFilter filter;
        WatchCallback callback;
        uint64_t first_entry = 0;  // the first queue entry it hears of
    };
    struct Entry {
        uint64_t ordinal = 0;  // counts every entry ever queued
        uint64_t sequence = 0;
        std::string notes;
        bool gap = false;  // commits were lost: every watch resyncs
    };

    void OnCommit(uint64_t sequence, std::string_view notes, bool gap);
    void QueueGap(uint64_t sequence);
    void Run();
    void Deliver(const Entry& entry);
    // Calls the watch's callback unless it ended meanwhile.
    void Call(WatchToken token, const Watch& watch, const Change& change);
    bool OnFeedThread() const { return std::this_thread::get_id() == thread_id_.load(); }

    CommonTree& database_;
    std::mutex mutex_;                  // guards everything below but the thread handle
    std::condition_variable wake_;      // the thread: a watch added, or stopping
    std::condition_variable finished_;  // Remove: a callback returned
    std::map<WatchToken, std::shared_ptr<const Watch>> watches_;
    std::deque<Entry> queue_;
    size_t queued_bytes_ = 0;
    uint64_t next_ordinal_ = 0;
    WatchToken running_ = 0;  // whose callback runs now
    bool stopping_ = false;
    std::atomic<std::thread::id> thread_id_{};
    std::mutex thread_mutex_;  // the thread handle: started once, joined once
    std::thread thread_;
};

}  // namespace brindle
