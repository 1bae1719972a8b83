#include "peer/sqlite_store.h"

#include <sqlite3.h>

#include <stdexcept>
#include <utility>

namespace peer {

namespace {

// Row 0 is the root: main keys are its children, so that every key has a parent row and
// unique(parent, name) covers main keys too. Deleting a key cascades to its subtree and its
// properties. Properties are clustered by (key, name): a key's properties sit together.
constexpr const char* kSchema = R"(
PRAGMA journal_mode = WAL;
PRAGMA foreign_keys = ON;
CREATE TABLE keys (
    id INTEGER PRIMARY KEY,
    parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
    name TEXT NOT NULL,
    UNIQUE (parent, name));
INSERT INTO keys (id, parent, name) VALUES (0, NULL, '');
CREATE TABLE properties (
    key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
    name TEXT NOT NULL,
    type INTEGER NOT NULL,
    value,
    PRIMARY KEY (key, name)) WITHOUT ROWID;
)";

// Binds a value as its natural column type; types without one are kept in their stored form.
void BindValue(sqlite3_stmt* statement, int index, const vell::VariableData& value) {
    switch (value.GetType()) {
        case vell::TypeInt:
            sqlite3_bind_int(statement, index, value.GetInt());
            return;
        case vell::TypeInt64:
            sqlite3_bind_int64(statement, index, value.GetInt64());
            return;
        case vell::TypeDouble:
            sqlite3_bind_double(statement, index, value.GetDouble());
            return;
        case vell::TypeString:
            sqlite3_bind_text(statement, index, value.GetString(), -1, SQLITE_STATIC);
            return;
        case vell::TypeBinary: {
            int length = 0;
            value.GetBinary(nullptr, length);
            std::string bytes(length, '\0');
            value.GetBinary(reinterpret_cast<unsigned char*>(bytes.data()), length);
            sqlite3_bind_blob(statement, index, bytes.data(), length, SQLITE_TRANSIENT);
            return;
        }
        default: {
            int length = 0;
            value.ToBinary(nullptr, length);
            std::string form(length, '\0');
            value.ToBinary(reinterpret_cast<unsigned char*>(form.data()), length);
            sqlite3_bind_blob(statement, index, form.data(), length, SQLITE_TRANSIENT);
        }
    }
}

// Reads the value of a (type, value) column pair. A blob is fetched only for the types kept
// as blobs, since fetching a number as a blob converts it to text.
void ReadValue(sqlite3_stmt* statement, int type_column, vell::VariableData& value) {
    const int column = type_column + 1;
    const int type = sqlite3_column_int(statement, type_column);
    switch (type) {
        case vell::TypeInt:
            value.SetInt(sqlite3_column_int(statement, column));
            return;
        case vell::TypeInt64:
            value.SetInt64(sqlite3_column_int64(statement, column));
            return;
        case vell::TypeDouble:
            value.SetDouble(sqlite3_column_double(statement, column));
            return;
        case vell::TypeString:
            value.SetString(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)));
            return;
        default:
            break;
    }
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(statement, column));
    const int length = sqlite3_column_bytes(statement, column);
    if (type == vell::TypeBinary) {
        value.SetBinary(bytes, length, true);
    } else {
        value.FromBinary(bytes, length);
    }
}

void BindName(sqlite3_stmt* statement, int index, std::string_view name) {
    sqlite3_bind_text(statement, index, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
}

}  // namespace

SqliteStore::Statement::Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr) !=
        SQLITE_OK) {
        throw std::runtime_error(std::string("cannot prepare: ") + sqlite3_errmsg(db));
    }
}

SqliteStore::Statement::Statement(Statement&& other) noexcept
    : statement_(std::exchange(other.statement_, nullptr)) {}

SqliteStore::Statement& SqliteStore::Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(statement_);
        statement_ = std::exchange(other.statement_, nullptr);
    }
    return *this;
}

SqliteStore::Statement::~Statement() {
    sqlite3_finalize(statement_);
}

void SqliteStore::Statement::Reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

SqliteStore::SqliteStore(const std::filesystem::path& folder) {
    const std::filesystem::path path = folder / "db.sqlite";
    sqlite3* opened = nullptr;
    const int open_result = sqlite3_open(path.c_str(), &opened);
    db_.reset(opened);  // a failed open still returns a connection to close
    const char* syncs = CurrentSyncs() == Syncs::kOff ? "PRAGMA synchronous = OFF;"
                                                      : "PRAGMA synchronous = NORMAL;";
    if (open_result != SQLITE_OK ||
        sqlite3_exec(opened, syncs, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(opened, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        throw std::runtime_error(std::string("cannot create the SQLite database: ") +
                                 (opened != nullptr ? sqlite3_errmsg(opened) : "out of memory"));
    }
    sqlite3* db = db_.get();
    find_child_ = Statement(db, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2");
    insert_key_ = Statement(db, "INSERT INTO keys (parent, name) VALUES (?1, ?2)");
    insert_property_ =
        Statement(db, "INSERT INTO properties (key, name, type, value) VALUES (?1, ?2, ?3, ?4)");
    update_property_ =
        Statement(db, "UPDATE properties SET type = ?3, value = ?4 WHERE key = ?1 AND name = ?2");
    read_property_ =
        Statement(db, "SELECT type, value FROM properties WHERE key = ?1 AND name = ?2");
    list_children_ = Statement(db, "SELECT name FROM keys WHERE parent = ?1");
    list_properties_ = Statement(db, "SELECT name, type, value FROM properties WHERE key = ?1");
    delete_key_ = Statement(db, "DELETE FROM keys WHERE id = ?1");
}

SqliteStore::~SqliteStore() = default;

void SqliteStore::CloseConnection::operator()(sqlite3* db) const {
    sqlite3_close(db);
}

bool SqliteStore::ChangeOneRow(Statement& statement) {
    const bool changed =
        sqlite3_step(statement.get()) == SQLITE_DONE && sqlite3_changes(db_.get()) == 1;
    statement.Reset();
    return changed;
}

bool SqliteStore::FindChild(int64_t parent, std::string_view name, int64_t& child) {
    sqlite3_bind_int64(find_child_.get(), 1, parent);
    BindName(find_child_.get(), 2, name);
    const bool found = sqlite3_step(find_child_.get()) == SQLITE_ROW;
    if (found) {
        child = sqlite3_column_int64(find_child_.get(), 0);
    }
    find_child_.Reset();
    return found;
}

bool SqliteStore::CreateMainKey(const std::string& name) {
    Key root{0};
    return AppendKey(root, name, nullptr);
}

bool SqliteStore::Open(const std::string& main_key, const std::string& path, Key& key) {
    int64_t id = 0;
    if (!FindChild(0, main_key, id)) {
        return false;
    }
    std::string_view rest = path;
    while (!rest.empty()) {
        const size_t end = rest.find('\\');
        if (!FindChild(id, rest.substr(0, end), id)) {
            return false;
        }
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    key.id = id;
    return true;
}

bool SqliteStore::AppendKey(Key& parent, const std::string& name, Key* child) {
    sqlite3_bind_int64(insert_key_.get(), 1, parent.id);
    BindName(insert_key_.get(), 2, name);
    if (!ChangeOneRow(insert_key_)) {
        return false;
    }
    if (child != nullptr) {
        child->id = sqlite3_last_insert_rowid(db_.get());
    }
    return true;
}

bool SqliteStore::AppendProperty(Key& key, const std::string& name,
                                 const vell::VariableData& value) {
    sqlite3_bind_int64(insert_property_.get(), 1, key.id);
    BindName(insert_property_.get(), 2, name);
    sqlite3_bind_int(insert_property_.get(), 3, value.GetType());
    BindValue(insert_property_.get(), 4, value);
    return ChangeOneRow(insert_property_);
}

bool SqliteStore::EditProperty(Key& key, const std::string& name, const vell::VariableData& value) {
    sqlite3_bind_int64(update_property_.get(), 1, key.id);
    BindName(update_property_.get(), 2, name);
    sqlite3_bind_int(update_property_.get(), 3, value.GetType());
    BindValue(update_property_.get(), 4, value);
    return ChangeOneRow(update_property_);
}

bool SqliteStore::ReadProperty(Key& key, const std::string& name, vell::VariableData& value) {
    sqlite3_bind_int64(read_property_.get(), 1, key.id);
    BindName(read_property_.get(), 2, name);
    const bool found = sqlite3_step(read_property_.get()) == SQLITE_ROW;
    if (found) {
        ReadValue(read_property_.get(), 0, value);
    }
    read_property_.Reset();
    return found;
}

bool SqliteStore::List(Key& key, KeyListing& listing) {
    sqlite3_bind_int64(list_children_.get(), 1, key.id);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(list_children_.get())) == SQLITE_ROW) {
        listing.children.emplace_back(
            reinterpret_cast<const char*>(sqlite3_column_text(list_children_.get(), 0)),
            sqlite3_column_bytes(list_children_.get(), 0));
    }
    list_children_.Reset();
    if (step != SQLITE_DONE) {
        return false;
    }
    sqlite3_bind_int64(list_properties_.get(), 1, key.id);
    vell::VariableData value;
    while ((step = sqlite3_step(list_properties_.get())) == SQLITE_ROW) {
        ReadValue(list_properties_.get(), 1, value);
        listing.AddProperty(std::string_view(reinterpret_cast<const char*>(
                                                 sqlite3_column_text(list_properties_.get(), 0)),
                                             sqlite3_column_bytes(list_properties_.get(), 0)),
                            value);
    }
    list_properties_.Reset();
    return step == SQLITE_DONE;
}

bool SqliteStore::DeleteKey(Key& key) {
    sqlite3_bind_int64(delete_key_.get(), 1, key.id);
    return ChangeOneRow(delete_key_);
}

}  // namespace peer
