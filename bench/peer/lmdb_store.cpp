#include "peer/lmdb_store.h"

#include <stdexcept>
#include <utility>

namespace peer {

namespace {

constexpr char kLevelMark = '\\';             // between the levels of a path
constexpr char kPropertyMark = '\0';          // between a key's path and a property's name
constexpr size_t kMapSize = size_t{4} << 30;  // address space only; the file grows as used
const std::string_view kKeyRecord = "K";

MDB_val Bytes(std::string_view bytes) {
    return {bytes.size(), const_cast<char*>(bytes.data())};
}

std::string_view View(const MDB_val& value) {
    return {static_cast<const char*>(value.mv_data), value.mv_size};
}

bool Exists(MDB_txn* transaction, MDB_dbi dbi, std::string_view record) {
    MDB_val key = Bytes(record);
    MDB_val data;
    return mdb_get(transaction, dbi, &key, &data) == MDB_SUCCESS;
}

// A cursor closed when it goes, which must be before its transaction ends.
class Cursor {
public:
    Cursor(MDB_txn* transaction, MDB_dbi dbi) {
        if (mdb_cursor_open(transaction, dbi, &cursor_) != MDB_SUCCESS) {
            cursor_ = nullptr;
        }
    }
    ~Cursor() {
        if (cursor_ != nullptr) {
            mdb_cursor_close(cursor_);
        }
    }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    MDB_cursor* get() const { return cursor_; }

private:
    MDB_cursor* cursor_ = nullptr;
};

// Positions the cursor at the first record at or after `at`; true when that record starts
// with `prefix`.
bool SeekWithin(MDB_cursor* cursor, std::string_view at, std::string_view prefix, MDB_val& key,
                MDB_val& data) {
    key = Bytes(at);
    return mdb_cursor_get(cursor, &key, &data, MDB_SET_RANGE) == MDB_SUCCESS &&
           View(key).starts_with(prefix);
}

bool NextWithin(MDB_cursor* cursor, std::string_view prefix, MDB_val& key, MDB_val& data) {
    return mdb_cursor_get(cursor, &key, &data, MDB_NEXT) == MDB_SUCCESS &&
           View(key).starts_with(prefix);
}

}  // namespace

// A write transaction, aborted unless committed.
class LmdbStore::WriteTransaction {
public:
    explicit WriteTransaction(MDB_env* env) {
        if (mdb_txn_begin(env, nullptr, 0, &transaction_) != MDB_SUCCESS) {
            transaction_ = nullptr;
        }
    }
    ~WriteTransaction() {
        if (transaction_ != nullptr) {
            mdb_txn_abort(transaction_);
        }
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    MDB_txn* get() const { return transaction_; }
    bool Commit() { return mdb_txn_commit(std::exchange(transaction_, nullptr)) == MDB_SUCCESS; }

private:
    MDB_txn* transaction_ = nullptr;
};

// The store's one read transaction, renewed for a read and reset after it.
class LmdbStore::ReadTransaction {
public:
    explicit ReadTransaction(MDB_txn* reader)
        : transaction_(mdb_txn_renew(reader) == MDB_SUCCESS ? reader : nullptr) {}
    ~ReadTransaction() {
        if (transaction_ != nullptr) {
            mdb_txn_reset(transaction_);
        }
    }
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;

    MDB_txn* get() const { return transaction_; }

private:
    MDB_txn* transaction_ = nullptr;
};

LmdbStore::LmdbStore(const std::filesystem::path& folder) {
    MDB_txn* setup = nullptr;
    if (mdb_env_create(&env_) != MDB_SUCCESS) {
        throw std::runtime_error("cannot create an LMDB environment");
    }
    if (mdb_env_set_mapsize(env_, kMapSize) != MDB_SUCCESS ||
        mdb_env_open(env_, folder.c_str(), CurrentSyncs() == Syncs::kOff ? MDB_NOSYNC : 0, 0644) !=
            MDB_SUCCESS ||
        mdb_txn_begin(env_, nullptr, 0, &setup) != MDB_SUCCESS ||
        mdb_dbi_open(setup, nullptr, 0, &dbi_) != MDB_SUCCESS ||
        mdb_txn_commit(std::exchange(setup, nullptr)) != MDB_SUCCESS ||
        mdb_txn_begin(env_, nullptr, MDB_RDONLY, &reader_) != MDB_SUCCESS) {
        if (setup != nullptr) {
            mdb_txn_abort(setup);
        }
        mdb_env_close(env_);
        throw std::runtime_error("cannot open the LMDB environment in " + folder.string());
    }
    mdb_txn_reset(reader_);
}

LmdbStore::~LmdbStore() {
    mdb_txn_abort(reader_);
    mdb_env_close(env_);
}

bool LmdbStore::CreateMainKey(const std::string& name) {
    WriteTransaction transaction(env_);
    MDB_val key = Bytes(name);
    MDB_val data = Bytes(kKeyRecord);
    return transaction.get() != nullptr &&
           mdb_put(transaction.get(), dbi_, &key, &data, MDB_NOOVERWRITE) == MDB_SUCCESS &&
           transaction.Commit();
}

bool LmdbStore::Open(const std::string& main_key, const std::string& path, Key& key) {
    std::string full = main_key;
    if (!path.empty()) {
        full += kLevelMark;
        full += path;
    }
    ReadTransaction transaction(reader_);
    if (transaction.get() == nullptr || !Exists(transaction.get(), dbi_, full)) {
        return false;
    }
    key.path = std::move(full);
    return true;
}

bool LmdbStore::AppendKey(Key& parent, const std::string& name, Key* child) {
    std::string path = parent.path + kLevelMark + name;
    WriteTransaction transaction(env_);
    if (transaction.get() == nullptr || !Exists(transaction.get(), dbi_, parent.path)) {
        return false;
    }
    MDB_val key = Bytes(path);
    MDB_val data = Bytes(kKeyRecord);
    if (mdb_put(transaction.get(), dbi_, &key, &data, MDB_NOOVERWRITE) != MDB_SUCCESS ||
        !transaction.Commit()) {
        return false;
    }
    if (child != nullptr) {
        child->path = std::move(path);
    }
    return true;
}

bool LmdbStore::PutProperty(Key& key, const std::string& name, const vell::VariableData& value,
                            bool must_exist) {
    record_key_.assign(key.path).push_back(kPropertyMark);
    record_key_ += name;
    int length = 0;
    value.ToBinary(nullptr, length);
    record_value_.resize(length);
    value.ToBinary(reinterpret_cast<unsigned char*>(record_value_.data()), length);

    WriteTransaction transaction(env_);
    if (transaction.get() == nullptr ||
        !Exists(transaction.get(), dbi_, must_exist ? std::string_view(record_key_) : key.path)) {
        return false;
    }
    MDB_val record = Bytes(record_key_);
    MDB_val data = Bytes(record_value_);
    return mdb_put(transaction.get(), dbi_, &record, &data, must_exist ? 0 : MDB_NOOVERWRITE) ==
               MDB_SUCCESS &&
           transaction.Commit();
}

bool LmdbStore::AppendProperty(Key& key, const std::string& name, const vell::VariableData& value) {
    return PutProperty(key, name, value, false);
}

bool LmdbStore::EditProperty(Key& key, const std::string& name, const vell::VariableData& value) {
    return PutProperty(key, name, value, true);
}

bool LmdbStore::ReadProperty(Key& key, const std::string& name, vell::VariableData& value) {
    record_key_.assign(key.path).push_back(kPropertyMark);
    record_key_ += name;
    ReadTransaction transaction(reader_);
    MDB_val record = Bytes(record_key_);
    MDB_val data;
    return transaction.get() != nullptr &&
           mdb_get(transaction.get(), dbi_, &record, &data) == MDB_SUCCESS &&
           value.FromBinary(static_cast<const unsigned char*>(data.mv_data),
                            static_cast<int>(data.mv_size));
}

bool LmdbStore::ListProperties(MDB_cursor* cursor, const std::string& path, KeyListing& listing) {
    const std::string prefix = path + kPropertyMark;
    MDB_val key;
    MDB_val data;
    vell::VariableData value;
    for (bool more = SeekWithin(cursor, prefix, prefix, key, data); more;
         more = NextWithin(cursor, prefix, key, data)) {
        if (!value.FromBinary(static_cast<const unsigned char*>(data.mv_data),
                              static_cast<int>(data.mv_size))) {
            return false;
        }
        listing.AddProperty(View(key).substr(prefix.size()), value);
    }
    return true;
}

// The records below a key are its children, their properties and their subtrees, in byte
// order. A child's own record is taken; past anything else below that child the cursor jumps
// to just after the child's mark, which skips the child's properties or its whole subtree.
bool LmdbStore::ListChildren(MDB_cursor* cursor, const std::string& path, KeyListing& listing) {
    const std::string prefix = path + kLevelMark;
    MDB_val key;
    MDB_val data;
    bool more = SeekWithin(cursor, prefix, prefix, key, data);
    while (more) {
        const std::string_view rest = View(key).substr(prefix.size());
        size_t mark = 0;
        while (mark < rest.size() && rest[mark] != kLevelMark && rest[mark] != kPropertyMark) {
            ++mark;
        }
        if (mark == rest.size()) {
            listing.children.emplace_back(rest);
            more = NextWithin(cursor, prefix, key, data);
            continue;
        }
        std::string past = prefix;
        past.append(rest.substr(0, mark)).push_back(static_cast<char>(rest[mark] + 1));
        more = SeekWithin(cursor, past, prefix, key, data);
    }
    return true;
}

bool LmdbStore::List(Key& key, KeyListing& listing) {
    ReadTransaction transaction(reader_);
    if (transaction.get() == nullptr) {
        return false;
    }
    Cursor cursor(transaction.get(), dbi_);
    return cursor.get() != nullptr && ListProperties(cursor.get(), key.path, listing) &&
           ListChildren(cursor.get(), key.path, listing);
}

bool LmdbStore::DeletePrefix(MDB_txn* transaction, const std::string& prefix) {
    Cursor cursor(transaction, dbi_);
    if (cursor.get() == nullptr) {
        return false;
    }
    MDB_val key;
    MDB_val data;
    // After a delete the cursor stands on the following record, which MDB_NEXT returns.
    for (bool more = SeekWithin(cursor.get(), prefix, prefix, key, data); more;
         more = NextWithin(cursor.get(), prefix, key, data)) {
        if (mdb_cursor_del(cursor.get(), 0) != MDB_SUCCESS) {
            return false;
        }
    }
    return true;
}

bool LmdbStore::DeleteKey(Key& key) {
    WriteTransaction transaction(env_);
    if (transaction.get() == nullptr) {
        return false;
    }
    MDB_val record = Bytes(key.path);
    return mdb_del(transaction.get(), dbi_, &record, nullptr) == MDB_SUCCESS &&
           DeletePrefix(transaction.get(), key.path + kPropertyMark) &&
           DeletePrefix(transaction.get(), key.path + kLevelMark) && transaction.Commit();
}

}  // namespace peer
