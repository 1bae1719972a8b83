#pragma once

// SQLite as a store of the peer benchmark, through its C API: a keys table and a properties
// table, prepared statements, each statement its own transaction.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "peer/store_common.h"
#include "vell/variable_data.h"

struct sqlite3;
struct sqlite3_stmt;

namespace peer {

class SqliteStore {
public:
    // A key is its row id.
    struct Key {
        int64_t id = -1;
    };

    static constexpr const char* kName = "SQLite";

    // Creates the database with its schema in the empty folder `folder`; throws when it
    // cannot.
    explicit SqliteStore(const std::filesystem::path& folder);
    ~SqliteStore();
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    // The members of a PeerStore (store_common.h).
    bool CreateMainKey(const std::string& name);
    bool Open(const std::string& main_key, const std::string& path, Key& key);
    bool AppendKey(Key& parent, const std::string& name, Key* child);
    bool AppendProperty(Key& key, const std::string& name, const vell::VariableData& value);
    bool EditProperty(Key& key, const std::string& name, const vell::VariableData& value);
    bool ReadProperty(Key& key, const std::string& name, vell::VariableData& value);
    bool List(Key& key, KeyListing& listing);
    bool DeleteKey(Key& key);

private:
    // A prepared statement, reset and unbound after every use.
    class Statement {
    public:
        Statement() = default;
        Statement(sqlite3* db, const char* sql);
        Statement(Statement&& other) noexcept;
        Statement& operator=(Statement&& other) noexcept;
        ~Statement();

        sqlite3_stmt* get() { return statement_; }
        void Reset();

    private:
        sqlite3_stmt* statement_ = nullptr;
    };

    // Runs a statement that returns no rows; true when it changed exactly one row.
    bool ChangeOneRow(Statement& statement);
    bool FindChild(int64_t parent, std::string_view name, int64_t& child);

    struct CloseConnection {
        void operator()(sqlite3* db) const;
    };

    // Declared before the statements, so that they are finalized before it closes.
    std::unique_ptr<sqlite3, CloseConnection> db_;
    Statement find_child_;
    Statement insert_key_;
    Statement insert_property_;
    Statement update_property_;
    Statement read_property_;
    Statement list_children_;
    Statement list_properties_;
    Statement delete_key_;
};

}  // namespace peer
