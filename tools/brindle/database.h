#pragma once

#include <list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "brindle/database_access.h"
#include "brindle/key_address.h"
#include "vell/variable_data.h"

namespace brindle::tool {

class Key;

// One open database, reached through the exports only. Every failed export becomes a
// ToolError carrying its result code; an MDException passes to the caller unchanged.
class Database {
public:
    // Opens the database at access.path, held as access.mode says; creates it (with its
    // folder) on first use only when access.create. See PrepareOpen for what is refused before
    // the library is asked, and OpenWaiting for the waiting and the failures.
    explicit Database(const DatabaseAccess& access);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    const std::string& Path() const { return path_; }
    // The library's file handle, for the C++ interfaces beside the exports (a batch).
    void* FileHandle() const { return file_; }

    // The main keys that are not hidden, in byte-wise order.
    std::vector<std::string> MainKeys();

    // Opens the key at `address` (not the database itself). Each level below the main key is
    // looked up as one child name, so any name the exports accept is reachable.
    Key Open(const KeyAddress& address);
    // Like Open, but false (and no key) when a level is missing; other failures still throw.
    bool Exists(const KeyAddress& address);

    void CreateMainKey(const std::string& name, bool hidden, bool read_only);
    // Creates whatever levels of `address` are missing (a missing main key plainly).
    void CreatePath(const KeyAddress& address);
    void RenameMainKey(const std::string& name, const std::string& new_name);
    void Import(const std::string& file, bool fresh);

private:
    friend class Key;
    std::string path_;
    void* file_ = nullptr;
};

// A key handle, closed when the object ends.
class Key {
public:
    Key(Key&& other) noexcept;
    Key& operator=(Key&& other) noexcept;
    Key(const Key&) = delete;
    ~Key();

    const KeyAddress& Address() const { return address_; }

    std::vector<std::string> SubKeys();
    std::list<std::pair<std::string, vell::VariableData>> Properties();
    // Throws a ToolError with code 7 when there is no such property.
    vell::VariableData Get(const std::string& name);
    bool HasProperty(const std::string& name) { return Find(name).has_value(); }
    // The property's value, or nothing when the key has no property of that name.
    std::optional<vell::VariableData> Find(const std::string& name);
    void Append(const std::string& name, const vell::VariableData& value);
    void Edit(const std::string& name, const vell::VariableData& value);
    void DeleteProperty(const std::string& name);
    // Edits the property when the key has it, else appends it.
    void Set(const std::string& name, const vell::VariableData& value);

    // Appends a child key; an empty name asks the library for a generated one. Returns the
    // child's name.
    std::string AppendSubKey(const std::string& name);
    void Rename(const std::string& new_name);
    void Delete();
    void Export(const std::string& file, bool overwrite);
    // True when the key's main key refuses changes (asked without changing anything).
    bool IsReadOnly();

private:
    friend class Database;
    Key(Database& database, KeyAddress address)
        : database_(&database), address_(std::move(address)) {}
    void Close();

    Database* database_;
    KeyAddress address_;
    void* handle_ = nullptr;
};

}  // namespace brindle::tool
