#include "handles.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "brindle.h"
#include "brindle/tool_error.h"

namespace brindle::python {
namespace {

// Runs `step`; true when it succeeded, false when the library refused it with `code`.
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

DatabaseState::DatabaseState(const std::string& path)
    : path_(path), database_(std::make_unique<tool::Database>(tool::DatabaseAccess{path, true})) {}

DatabaseState::~DatabaseState() {
    // Every key state holds its database, so none is left to wait for: close directly.
    CloseLocked();
}

bool DatabaseState::IsClosed() {
    std::shared_lock open(calls_);
    return database_ == nullptr;
}

void DatabaseState::Close() {
    pybind11::gil_scoped_release unlocked;
    std::unique_lock closing(calls_);
    CloseLocked();
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
