#pragma once

#include <pybind11/pybind11.h>

#include <sys/types.h>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include "brindle/database.h"
#include "brindle_batch.h"
#include "brindle_watch.h"
#include "errors.h"

namespace brindle::python {

class KeyState;

// Sets property `name` to `value`, whatever was there, also while other threads add or delete
// it: the library's edit and append are each one step, and when one is refused because the
// other thread got there first, the other applies and is tried next.
void Assign(tool::Key& key, const std::string& name, const vell::VariableData& value);

// Opens the key at `address`, first creating whatever levels are missing. A level another
// thread creates at the same time is opened instead of reported as existing.
tool::Key OpenOrCreate(tool::Database& database, const tool::KeyAddress& address);

// An open database, shared by its Python object and by every key opened through it.
//
// The library must not see a handle closed while a call on it runs, and wants every key handle
// closed before the file handle. So every call holds `calls_` shared, and closing the database
// takes it exclusively: it waits for the calls in flight, then closes the keys still open, then
// the file. Calls run with the GIL released; their locks are taken after the release and
// dropped before the GIL is taken back, so a thread never waits for a lock while holding it.
class DatabaseState : public std::enable_shared_from_this<DatabaseState> {
public:
    // Opens (and on first use creates) the database at `path`, waiting up to `timeout` seconds
    // while this or another process has it open; call without the GIL.
    // `mode`: "write" (options 0: this process writes alone, others may read), "shared"
    // (several writing processes) or "read" (read-only).
    DatabaseState(const std::string& path, double timeout, const std::string& mode = "write");
    ~DatabaseState();
    DatabaseState(const DatabaseState&) = delete;
    DatabaseState& operator=(const DatabaseState&) = delete;

    const std::string& Path() const { return path_; }
    bool IsClosed();
    // Closes the keys still open, then the database; nothing after the first call.
    void Close();

    // Runs operation(tool::Database&) with the GIL released; brindle.Closed when closed.
    template <typename Operation>
    auto Call(Operation&& operation) {
        pybind11::gil_scoped_release unlocked;
        std::shared_lock open(calls_);
        return operation(OpenDatabase());
    }

    // Starts a batch on the calling thread: every change the thread makes through this
    // database until EndBatch is one unit (see brindle_batch.h). Waits while another thread
    // writes or runs a batch. Call without the GIL.
    void BeginBatch();
    // Commits the calling thread's batch (`commit`) or rolls it back. Call without the GIL.
    void EndBatch(bool commit);

    // Opens the key at `address` as a new key state; `create` makes the missing levels first.
    // Call inside Call().
    std::shared_ptr<KeyState> OpenKey(const tool::KeyAddress& address, bool create);

    // Starts a watch of the database (see brindle::Watch); brindle.Closed when closed. Call
    // without the GIL.
    WatchToken AddWatch(const std::string& main_key, const std::string& path, bool recursive,
                        WatchCallback callback);
    // Ends a watch started by AddWatch; false when it had ended. Call without the GIL: it
    // waits for the watch's running callback, which takes the GIL.
    bool EndWatch(WatchToken token);

private:
    // Ends every watch, and refuses new ones: closing waits for the callbacks to return first,
    // so that none waits for a lock the close holds. Call without the GIL.
    void EndWatches();
    friend class KeyState;
    tool::Database& OpenDatabase();
    void CloseLocked();

    const std::string path_;
    std::optional<std::pair<dev_t, ino_t>> identity_;  // of the first data file, while open
    std::shared_mutex calls_;
    std::unique_ptr<tool::Database> database_;
    std::mutex keys_mutex_;               // guards keys_
    std::unordered_set<KeyState*> keys_;  // every live key state of this database
    // Open batches by thread; Close waits for them to end.
    std::mutex batches_mutex_;
    std::condition_variable batches_ended_;
    std::map<std::thread::id, std::unique_ptr<brindle::Batch>> batches_;
    bool closing_ = false;      // guarded by batches_mutex_: no batch may start
    std::mutex watches_mutex_;  // guards the two below
    std::set<WatchToken> watches_;
    bool watches_ended_ = false;
};

// One key handle. Calls on it hold the database's `calls_` and the key's `uses_` shared;
// rename, delete and close take `uses_` exclusively, since they replace or end the handle.
class KeyState {
public:
    KeyState(std::shared_ptr<DatabaseState> database, tool::Key key);
    ~KeyState();
    KeyState(const KeyState&) = delete;
    KeyState& operator=(const KeyState&) = delete;

    tool::KeyAddress Address();
    bool IsClosed();
    const std::shared_ptr<DatabaseState>& Database() const { return database_; }

    // Runs operation(tool::Key&) with the GIL released; brindle.Closed when closed.
    template <typename Operation>
    auto Call(Operation&& operation) {
        pybind11::gil_scoped_release unlocked;
        std::shared_lock database_open(database_->calls_);
        std::shared_lock key_open(uses_);
        return operation(OpenKey());
    }

    // Opens a child of this key, or creates it first: by the given name, or by one the
    // library generates when `name` is empty.
    std::shared_ptr<KeyState> Child(const std::string& name, bool create);
    // Renames the key, refusing a name a sibling has already, and moves the handle along.
    void Rename(const std::string& new_name);
    // Deletes the key with its subtree; the key is closed afterwards.
    void Delete();
    void Close();

private:
    friend class DatabaseState;
    tool::Key& OpenKey();
    void RefuseTakenName(const std::string& new_name);

    const std::shared_ptr<DatabaseState> database_;
    std::shared_mutex uses_;
    std::optional<tool::Key> key_;
    tool::KeyAddress address_;
};

}  // namespace brindle::python
