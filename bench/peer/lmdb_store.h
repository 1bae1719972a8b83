#pragma once

// LMDB as a store of the peer benchmark, through its C API. A key is a record under its full
// path (levels joined by a backslash, starting with the main key); a property is a record
// under the key's path, a NUL and the property's name, holding the value's stored form. Every
// change is a write transaction of its own; every read a read transaction of its own.

#include <lmdb.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "peer/store_common.h"
#include "vell/variable_data.h"

namespace peer {

class LmdbStore {
public:
    struct Key {
        std::string path;
    };

    static constexpr const char* kName = "LMDB";

    // Creates the environment in the existing, empty folder `folder`; throws when it cannot.
    explicit LmdbStore(const std::filesystem::path& folder);
    ~LmdbStore();
    LmdbStore(const LmdbStore&) = delete;
    LmdbStore& operator=(const LmdbStore&) = delete;

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
    class WriteTransaction;
    class ReadTransaction;

    // Writes a property record; `must_exist` chooses between an edit and an append.
    bool PutProperty(Key& key, const std::string& name, const vell::VariableData& value,
                     bool must_exist);
    bool ListProperties(MDB_cursor* cursor, const std::string& path, KeyListing& listing);
    bool ListChildren(MDB_cursor* cursor, const std::string& path, KeyListing& listing);
    bool DeletePrefix(MDB_txn* transaction, const std::string& prefix);

    MDB_env* env_ = nullptr;
    MDB_dbi dbi_ = 0;
    MDB_txn* reader_ = nullptr;  // reset between reads, renewed for each
    std::string record_key_;     // scratch for the property record keys
    std::string record_value_;   // scratch for stored forms
};

}  // namespace peer
