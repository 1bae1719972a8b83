#include "handles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "brindle.h"
#include "brindle/database_access.h"
#include "brindle/tool_error.h"

namespace brindle::python {
namespace {

// Runs `step`: false when it succeeded, true when the library refused it with `code`; any
// other failure passes on.
template <typename Step>
bool RefusedWith(int code, Step&& step) {
    try {
        step();
        return false;
    } catch (const tool::ToolError& error) {
        if (error.code() != code) {
            throw;
        }
        return true;
    }
}

using FileIdentity = std::pair<dev_t, ino_t>;

std::optional<FileIdentity> IdentityOf(const std::string& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return FileIdentity(status.st_dev, status.st_ino);
}

// The databases open in this process, by their first data file. The library's lock on that
// file cannot tell a second open in this process from another process's hold.
class OpenHere {
public:
    static bool Has(const std::optional<FileIdentity>& file) {
        std::lock_guard guard(mutex_);
        return file && files_.count(*file) != 0;
    }
    static void Add(const std::optional<FileIdentity>& file) {
        std::lock_guard guard(mutex_);
        if (file) {
            files_.insert(*file);
        }
    }
    static void Remove(const std::optional<FileIdentity>& file) {
        std::lock_guard guard(mutex_);
        if (file) {
            files_.erase(*file);
        }
    }

private:
    static inline std::mutex mutex_;
    static inline std::set<FileIdentity> files_;
};

// True when some open file description holds the data file's lock, as the library takes it.
bool LockHeld(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);  // drops the lock when it was taken
    return held;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

[[noreturn]] void ThrowBusy(const std::string& path, bool here, double timeout) {
    std::string message = tool::ExplainOpenFailure(path);
    if (here || message.empty()) {
        message = "database '" + path + "' is " +
                  (here ? "already open in this process" : "in use by another process");
    }
    if (timeout > 0) {
        message += " (waited " + Seconds(timeout) + " s)";
    } else if (here) {
        message += "; share that brindle.Database between threads, or close it first";
    } else {
        message += "; open(path, timeout=SECONDS) waits for it";
    }
    throw tool::ToolError(message);
}

}  // namespace

void Assign(tool::Key& key, const std::string& name, const vell::VariableData& value) {
    // Each refusal means another thread changed the property in between, so the loop ends as
    // soon as the other threads stop adding and deleting it.
    while (RefusedWith(BRN_ERR_PROPERTY_NOT_FOUND, [&] { key.Edit(name, value); }) &&
           RefusedWith(BRN_ERR_PROPERTY_EXISTS, [&] { key.Append(name, value); })) {
    }
}

tool::Key OpenOrCreate(tool::Database& database, const tool::KeyAddress& address) {
    // A level is opened before it is created, so that an existing key below a read-only main
    // key opens; a creation refused because the key exists means another thread made it.
    tool::KeyAddress done({address.MainKey()});
    if (!database.Exists(done)) {
        RefusedWith(BRN_ERR_KEY_EXISTS,
                    [&] { database.CreateMainKey(address.MainKey(), false, false); });
    }
    for (std::size_t i = 1; i < address.Names().size(); ++i) {
        const tool::KeyAddress child = done.Child(address.Names()[i]);
        if (!database.Exists(child)) {
            RefusedWith(BRN_ERR_KEY_EXISTS,
                        [&] { database.Open(done).AppendSubKey(address.Names()[i]); });
        }
        done = child;
    }
    return database.Open(address);
}

DatabaseState::DatabaseState(const std::string& path, double timeout, const std::string& mode)
    : path_(path) {
    if (!(timeout >= 0) || std::isinf(timeout)) {
        throw pybind11::value_error("timeout must be a number of seconds, 0 or more");
    }
    if (mode != "write" && mode != "shared" && mode != "read") {
        throw pybind11::value_error("mode must be 'write', 'shared' or 'read'");
    }
    std::error_code error;
    const std::filesystem::file_status base = std::filesystem::status(path, error);
    if (std::filesystem::exists(base) && !std::filesystem::is_regular_file(base)) {
        throw tool::ToolError(
            "'" + path + "' is " +
            (std::filesystem::is_directory(base) ? "a folder" : "not a regular file") +
            "; a database is opened by the base path of its data files, such as '" +
            (std::filesystem::path(path) / "db").string() + "'");
    }
    if (mode != "write") {
        // Shared and read-only opens meet other processes through the library, which says
        // why it refuses; the tool's open waits while another process holds it alone.
        tool::DatabaseAccess access{
            path, mode == "shared", timeout,
            mode == "shared" ? tool::OpenMode::kShared : tool::OpenMode::kReadOnly};
        tool::PrepareOpen(access);
        database_ = std::make_unique<tool::Database>(access);
        return;
    }
    // The tool's open refuses at once when the database is held; the module waits itself, for
    // this process and for others alike.
    const std::string first = tool::DataFileName(path, 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    for (;;) {
        const bool here = OpenHere::Has(IdentityOf(first));
        if (!here && !LockHeld(first)) {
            try {
                database_ = std::make_unique<tool::Database>(tool::DatabaseAccess{path, true});
                identity_ = IdentityOf(first);
                OpenHere::Add(identity_);
                return;
            } catch (const tool::ToolError&) {
                if (!LockHeld(first)) {
                    throw;  // a failure of its own, not a hold taken in between
                }
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ThrowBusy(path, OpenHere::Has(IdentityOf(first)), timeout);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

DatabaseState::~DatabaseState() {
    // A callback may be waiting for the GIL, which a destructor run by Python holds.
    if (Py_IsInitialized() && PyGILState_Check()) {
        pybind11::gil_scoped_release unlocked;
        EndWatches();
    } else {
        EndWatches();
    }
    // Every key state holds its database, so none is left to wait for: close directly.
    CloseLocked();
}

bool DatabaseState::IsClosed() {
    std::shared_lock open(calls_);
    return database_ == nullptr;
}

void DatabaseState::Close() {
    pybind11::gil_scoped_release unlocked;
    {
        // A batch ends before its database closes: one of this thread's own cannot.
        std::unique_lock guard(batches_mutex_);
        if (batches_.count(std::this_thread::get_id()) != 0) {
            ThrowResult(BRN_ERR_INVALID_ARGUMENT,
                        "the database has a batch open on this thread; end the batch first");
        }
        closing_ = true;
        batches_ended_.wait(guard, [&] { return batches_.empty(); });
    }
    EndWatches();
    std::unique_lock closing(calls_);
    CloseLocked();
}

WatchToken DatabaseState::AddWatch(const std::string& main_key, const std::string& path,
                                   bool recursive, WatchCallback callback) {
    std::shared_lock open(calls_);
    void* file = OpenDatabase().FileHandle();
    std::lock_guard guard(watches_mutex_);
    if (watches_ended_) {
        throw ClosedError("the database " + path_ + " is closed");
    }
    const WatchToken token = brindle::Watch(file, main_key, path, recursive, std::move(callback));
    if (token == 0) {
        ThrowResult(BRN_FAIL, "the watch could not start");
    }
    watches_.insert(token);
    return token;
}

bool DatabaseState::EndWatch(WatchToken token) {
    {
        std::lock_guard guard(watches_mutex_);
        if (watches_.erase(token) == 0) {
            return false;
        }
    }
    return brindle::Unwatch(token);
}

void DatabaseState::EndWatches() {
    std::set<WatchToken> tokens;
    {
        std::lock_guard guard(watches_mutex_);
        watches_ended_ = true;
        tokens.swap(watches_);
    }
    for (WatchToken token : tokens) {
        brindle::Unwatch(token);
    }
}

void DatabaseState::BeginBatch() {
    {
        std::lock_guard guard(batches_mutex_);
        if (closing_) {
            throw ClosedError("the database " + path_ + " is closed");
        }
        if (batches_.count(std::this_thread::get_id()) != 0) {
            ThrowResult(BRN_FAIL, "a batch is open on this thread already; batches do not nest");
        }
    }
    std::shared_lock open(calls_);
    auto batch = std::make_unique<brindle::Batch>(OpenDatabase().FileHandle());
    if (batch->Status() != BRN_OK) {
        ThrowResult(batch->Status(), "the batch could not start");
    }
    std::lock_guard guard(batches_mutex_);
    batches_.emplace(std::this_thread::get_id(), std::move(batch));
}

void DatabaseState::EndBatch(bool commit) {
    std::unique_ptr<brindle::Batch> batch;
    {
        std::lock_guard guard(batches_mutex_);
        auto found = batches_.find(std::this_thread::get_id());
        if (found == batches_.end()) {
            return;
        }
        batch = std::move(found->second);
        batches_.erase(found);
    }
    int result = BRN_OK;
    if (commit) {
        result = batch->Commit();
    } else {
        batch->Rollback();
    }
    batch.reset();
    batches_ended_.notify_all();
    if (result != BRN_OK) {
        ThrowResult(result, "the batch could not be committed; none of its changes were kept");
    }
}

void DatabaseState::CloseLocked() {
    {
        std::lock_guard guard(keys_mutex_);
        for (KeyState* key : keys_) {
            std::unique_lock key_closing(key->uses_);
            key->key_.reset();
        }
    }
    database_.reset();
    OpenHere::Remove(identity_);
    identity_.reset();
}

tool::Database& DatabaseState::OpenDatabase() {
    if (database_ == nullptr) {
        throw ClosedError("the database " + path_ + " is closed");
    }
    return *database_;
}

std::shared_ptr<KeyState> DatabaseState::OpenKey(const tool::KeyAddress& address, bool create) {
    tool::Database& database = OpenDatabase();
    return std::make_shared<KeyState>(
        shared_from_this(), create ? OpenOrCreate(database, address) : database.Open(address));
}

KeyState::KeyState(std::shared_ptr<DatabaseState> database, tool::Key key)
    : database_(std::move(database)), key_(std::move(key)), address_(key_->Address()) {
    std::lock_guard guard(database_->keys_mutex_);
    database_->keys_.insert(this);
}

KeyState::~KeyState() {
    // Nothing else refers to this key any more; the database lock keeps a closing database
    // from ending the handle at the same time.
    std::shared_lock database_open(database_->calls_);
    std::lock_guard guard(database_->keys_mutex_);
    database_->keys_.erase(this);
    key_.reset();
}

tool::KeyAddress KeyState::Address() {
    std::shared_lock reading(uses_);
    return address_;
}

bool KeyState::IsClosed() {
    std::shared_lock reading(uses_);
    return !key_.has_value();
}

tool::Key& KeyState::OpenKey() {
    if (!key_) {
        throw ClosedError("the key " + address_.ToString() + " is closed");
    }
    return *key_;
}

std::shared_ptr<KeyState> KeyState::Child(const std::string& name, bool create) {
    return Call([&](tool::Key& key) {
        std::string child = name;
        if (create) {
            child = key.AppendSubKey(name);
        }
        tool::Database& database = database_->OpenDatabase();
        return std::make_shared<KeyState>(database_, database.Open(address_.Child(child)));
    });
}

void KeyState::RefuseTakenName(const std::string& new_name) {
    // The library renames without looking at the siblings, and a second key of one name would
    // be unreachable; the tool refuses such a rename, and so does the module.
    tool::Database& database = database_->OpenDatabase();
    const tool::KeyAddress target = address_.Parent().Child(new_name);
    bool taken = false;
    if (address_.IsMainKey()) {
        taken = database.Exists(target);
    } else {
        const std::vector<std::string> siblings = database.Open(address_.Parent()).SubKeys();
        taken = std::find(siblings.begin(), siblings.end(), new_name) != siblings.end();
    }
    if (taken) {
        ThrowResult(BRN_ERR_KEY_EXISTS,
                    "cannot rename key " + address_.ToString() + " to " + new_name);
    }
}

void KeyState::Rename(const std::string& new_name) {
    pybind11::gil_scoped_release unlocked;
    std::shared_lock database_open(database_->calls_);
    std::unique_lock renaming(uses_);
    tool::Key& key = OpenKey();
    RefuseTakenName(new_name);
    key.Rename(new_name);
    // Reopened at the new address, so that the handle and the address agree again.
    address_ = address_.Parent().Child(new_name);
    key_.emplace(database_->OpenDatabase().Open(address_));
}

void KeyState::Delete() {
    pybind11::gil_scoped_release unlocked;
    std::shared_lock database_open(database_->calls_);
    std::unique_lock deleting(uses_);
    OpenKey().Delete();
    key_.reset();
}

void KeyState::Close() {
    pybind11::gil_scoped_release unlocked;
    std::shared_lock database_open(database_->calls_);
    std::unique_lock closing(uses_);
    key_.reset();
}

}  // namespace brindle::python
