#include "brindle/database.h"

#include <algorithm>
#include <optional>

#include "brindle.h"
#include "brindle/output_file.h"
#include "brindle/result_codes.h"
#include "brindle/tool_error.h"

namespace brindle::tool {
namespace {

void* const kNoHandle = reinterpret_cast<void*>(-1);

bool IsHandle(void* handle) {
    return handle != nullptr && handle != kNoHandle;
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// The levels below the main key as one backslash path for BRN_OpenKey, or nothing when the
// library's own path splitting cannot carry them (a name holding a backslash, or a path past
// the exports' 255-character limit).
bool JoinedPath(const std::vector<std::string>& names, std::string& path) {
    path.clear();
    for (std::size_t i = 1; i < names.size(); ++i) {
        if (names[i].find('\\') != std::string::npos) {
            return false;
        }
        path += i > 1 ? "\\" : "";
        path += names[i];
    }
    return path.size() <= kMaxNameLength;
}

}  // namespace

Database::Database(const DatabaseAccess& access) : path_(access.path) {
    PrepareOpen(access);
    OpenWaiting(access,
                [&] { return BRN_OpenFile(path_.c_str(), file_, OpenOptions(access.mode)); });
}

Database::~Database() {
    if (IsHandle(file_)) {
        BRN_CloseBRNFHandle(file_);
    }
}

std::vector<std::string> Database::MainKeys() {
    // Listing main keys needs some key handle of the database; a failed open still hands one
    // out, and that is all BRN_GetAllMainKeys uses.
    Key any(*this, KeyAddress());
    BRN_OpenKey(file_, any.handle_, " ", "", MODE_OPEN);
    std::list<std::string> names;
    CheckResult(BRN_GetAllMainKeys(any.handle_, names), "cannot list the main keys");
    return std::vector<std::string>(names.begin(), names.end());
}

Key Database::Open(const KeyAddress& address) {
    const std::vector<std::string>& names = address.Names();
    const std::string what = "cannot open key " + Quoted(address.ToString());
    if (names.empty()) {
        throw ToolError(what + ": no key named");
    }
    Key key(*this, address);
    std::string path;
    if (JoinedPath(names, path)) {
        CheckResult(BRN_OpenKey(file_, key.handle_, names[0], path, MODE_OPEN), what);
        return key;
    }
    CheckResult(BRN_OpenKey(file_, key.handle_, names[0], names[1], MODE_OPEN | MODE_CHILD), what);
    for (std::size_t i = 2; i < names.size(); ++i) {
        CheckResult(BRN_ReopenSubKey(key.handle_, names[i], MODE_OPEN | MODE_CHILD), what);
    }
    return key;
}

bool Database::Exists(const KeyAddress& address) {
    try {
        Open(address);
        return true;
    } catch (const ToolError& error) {
        if (error.code() == BRN_ERR_KEY_NOT_FOUND || error.code() == BRN_ERR_MAIN_KEY_NOT_FOUND) {
            return false;
        }
        throw;
    }
}

void Database::CreateMainKey(const std::string& name, bool hidden, bool read_only) {
    Key key(*this, KeyAddress({name}));
    const unsigned int mode =
        MODE_CREATE | (hidden ? MODE_HIDDEN : 0u) | (read_only ? MODE_READONLY : 0u);
    CheckResult(BRN_OpenKey(file_, key.handle_, name, "", mode),
                "cannot create main key " + Quoted(name));
}

void Database::CreatePath(const KeyAddress& address) {
    KeyAddress done({address.MainKey()});
    if (!Exists(done)) {
        CreateMainKey(address.MainKey(), false, false);
    }
    for (std::size_t i = 1; i < address.Names().size(); ++i) {
        const std::string& name = address.Names()[i];
        Key parent = Open(done);
        const std::vector<std::string> children = parent.SubKeys();
        if (std::find(children.begin(), children.end(), name) == children.end()) {
            parent.AppendSubKey(name);
        }
        done = done.Child(name);
    }
}

void Database::RenameMainKey(const std::string& name, const std::string& new_name) {
    Key key(*this, KeyAddress({name}));
    CheckResult(BRN_OpenKey(file_, key.handle_, name, new_name, MODE_RENAME),
                "cannot rename main key " + Quoted(name));
}

void Database::Import(const std::string& file, bool fresh) {
    CheckResult(BRN_ImportSubTree(file_, file, fresh), "cannot import " + Quoted(file));
}

Key::Key(Key&& other) noexcept
    : database_(other.database_), address_(std::move(other.address_)), handle_(other.handle_) {
    other.handle_ = nullptr;
}

Key& Key::operator=(Key&& other) noexcept {
    if (this != &other) {
        Close();
        database_ = other.database_;
        address_ = std::move(other.address_);
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

Key::~Key() {
    Close();
}

void Key::Close() {
    if (IsHandle(handle_)) {
        BRN_CloseBRNHandle(handle_);
    }
    handle_ = nullptr;
}

std::vector<std::string> Key::SubKeys() {
    std::list<std::string> names;
    CheckResult(BRN_SelectSubKeys(handle_, names),
                "cannot list the sub keys of " + Quoted(address_.ToString()));
    return std::vector<std::string>(names.begin(), names.end());
}

std::list<std::pair<std::string, vell::VariableData>> Key::Properties() {
    std::list<std::pair<std::string, vell::VariableData>> properties;
    CheckResult(BRN_SelectKeyPropertys(handle_, properties),
                "cannot list the properties of " + Quoted(address_.ToString()));
    return properties;
}

vell::VariableData Key::Get(const std::string& name) {
    vell::VariableData value;
    CheckResult(BRN_GetKeyProperty(handle_, name, value),
                "cannot read property " + Quoted(name) + " of " + Quoted(address_.ToString()));
    return value;
}

std::optional<vell::VariableData> Key::Find(const std::string& name) {
    vell::VariableData value;
    const int result = BRN_GetKeyProperty(handle_, name, value);
    if (result == BRN_ERR_PROPERTY_NOT_FOUND) {
        return std::nullopt;
    }
    CheckResult(result,
                "cannot read property " + Quoted(name) + " of " + Quoted(address_.ToString()));
    return value;
}

void Key::Append(const std::string& name, const vell::VariableData& value) {
    vell::VariableData copy(value);
    CheckResult(BRN_AppendProperty(handle_, name, copy),
                "cannot add property " + Quoted(name) + " to " + Quoted(address_.ToString()));
}

void Key::Edit(const std::string& name, const vell::VariableData& value) {
    vell::VariableData copy(value);
    CheckResult(BRN_EditProperty(handle_, name, copy),
                "cannot change property " + Quoted(name) + " of " + Quoted(address_.ToString()));
}

void Key::DeleteProperty(const std::string& name) {
    CheckResult(BRN_DeleteProperty(handle_, name),
                "cannot delete property " + Quoted(name) + " of " + Quoted(address_.ToString()));
}

void Key::Set(const std::string& name, const vell::VariableData& value) {
    if (HasProperty(name)) {
        Edit(name, value);
    } else {
        Append(name, value);
    }
}

std::string Key::AppendSubKey(const std::string& name) {
    std::string child = name;
    CheckResult(BRN_AppendSubKey(handle_, child),
                "cannot create key " + Quoted(name.empty() ? address_.ToString() + "/<generated>"
                                                           : address_.Child(name).ToString()));
    return child;
}

void Key::Rename(const std::string& new_name) {
    if (address_.IsMainKey()) {
        database_->RenameMainKey(address_.MainKey(), new_name);
        return;
    }
    CheckResult(BRN_RenameKeys(handle_, new_name),
                "cannot rename key " + Quoted(address_.ToString()));
}

void Key::Delete() {
    CheckResult(BRN_DeleteKey(handle_), "cannot delete key " + Quoted(address_.ToString()));
}

void Key::Export(const std::string& file, bool overwrite) {
    // The library would rename its file over whatever is at the path (a device, a pipe, a
    // symbolic link) with the mode of a new file; it writes into a folder of the tool's
    // instead, and the tool puts the file in place as it puts every output file. A path that
    // cannot take the file fails as the library's own failure to write it does (code 49).
    const std::string what = "cannot export " + Quoted(address_.ToString()) + " to " + Quoted(file);
    const auto unwritable = [&what](const OutputFileError& error) {
        return ToolError(
            what + ": " + error.Reason() + " (code " + std::to_string(BRN_ERR_EXPORT_FILE) + ")",
            BRN_ERR_EXPORT_FILE);
    };
    std::optional<StagedFile> staged;
    try {
        staged.emplace(file);
    } catch (const OutputFileError& error) {
        throw unwritable(error);
    }
    if (staged->Target().exists && !overwrite) {
        CheckResult(BRN_ERR_FILE_EXISTS, what);
    }
    CheckResult(BRN_ExportSubTree(handle_, staged->WritePath(), false), what);
    bool placed = false;
    try {
        placed = staged->Commit(overwrite);
    } catch (const OutputFileError& error) {
        throw unwritable(error);
    }
    if (!placed) {
        CheckResult(BRN_ERR_FILE_EXISTS, what);
    }
}

bool Key::IsReadOnly() {
    // The exports have no flag query. An export without overwrite to a file that exists stops
    // at its read-only test (51) or else at its existence test (47), before it reads or writes
    // anything, so exporting onto the database's own first data file answers the question.
    const int result = BRN_ExportSubTree(handle_, database_->Path() + "001", false);
    if (result == BRN_ERR_READ_ONLY) {
        return true;
    }
    if (result == BRN_ERR_FILE_EXISTS) {
        return false;
    }
    CheckResult(result, "cannot inspect key " + Quoted(address_.ToString()));
    return false;
}

}  // namespace brindle::tool
