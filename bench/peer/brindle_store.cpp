#include "peer/brindle_store.h"

#include <cstdlib>
#include <list>
#include <stdexcept>
#include <utility>

#include "brindle.h"

namespace peer {

namespace {

// The append and edit exports take the value by a non-const reference but only read it; the
// benchmark's values are not const objects, so handing them on is sound and copies nothing.
vell::VariableData& Writable(const vell::VariableData& value) {
    return const_cast<vell::VariableData&>(value);
}

}  // namespace

BrindleStore::Key::Key(Key&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      main_key_(std::move(other.main_key_)),
      path_(std::move(other.path_)) {}

BrindleStore::Key& BrindleStore::Key::operator=(Key&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, nullptr);
        main_key_ = std::move(other.main_key_);
        path_ = std::move(other.path_);
    }
    return *this;
}

void BrindleStore::Key::Close() {
    BRN_CloseBRNHandle(handle_);
    handle_ = nullptr;
}

BrindleStore::BrindleStore(const std::filesystem::path& folder) {
    const std::filesystem::path base = folder / "db";
    setenv("BRINDLE_DURABILITY", CurrentSyncs() == Syncs::kOff ? "off" : "normal", 1);
    if (BRN_OpenFile(base.c_str(), file_, 0) != BRN_OK) {
        throw std::runtime_error("cannot open the Brindle database at " + base.string());
    }
}

BrindleStore::~BrindleStore() {
    BRN_CloseBRNFHandle(file_);
}

bool BrindleStore::CreateMainKey(const std::string& name) {
    Key created;
    return BRN_OpenKey(file_, created.handle_, name, "", MODE_CREATE) == BRN_OK;
}

bool BrindleStore::Open(const std::string& main_key, const std::string& path, Key& key) {
    key.Close();
    if (BRN_OpenKey(file_, key.handle_, main_key, path, MODE_OPEN) != BRN_OK) {
        return false;
    }
    key.main_key_ = main_key;
    key.path_ = path;
    return true;
}

bool BrindleStore::AppendKey(Key& parent, const std::string& name, Key* child) {
    std::string appended = name;
    if (BRN_AppendSubKey(parent.handle_, appended) != BRN_OK) {
        return false;
    }
    if (child == nullptr) {
        return true;
    }
    return Open(parent.main_key_, parent.path_.empty() ? name : parent.path_ + "\\" + name, *child);
}

bool BrindleStore::AppendProperty(Key& key, const std::string& name,
                                  const vell::VariableData& value) {
    return BRN_AppendProperty(key.handle_, name, Writable(value)) == BRN_OK;
}

bool BrindleStore::EditProperty(Key& key, const std::string& name,
                                const vell::VariableData& value) {
    return BRN_EditProperty(key.handle_, name, Writable(value)) == BRN_OK;
}

bool BrindleStore::ReadProperty(Key& key, const std::string& name, vell::VariableData& value) {
    return BRN_GetKeyProperty(key.handle_, name, value) == BRN_OK;
}

bool BrindleStore::List(Key& key, KeyListing& listing) {
    std::list<std::string> children;
    std::list<std::pair<std::string, vell::VariableData>> properties;
    if (BRN_SelectSubKeys(key.handle_, children) != BRN_OK ||
        BRN_SelectKeyPropertys(key.handle_, properties) != BRN_OK) {
        return false;
    }
    listing.children.assign(std::make_move_iterator(children.begin()),
                            std::make_move_iterator(children.end()));
    for (const auto& [name, value] : properties) {
        listing.AddProperty(name, value);
    }
    return true;
}

bool BrindleStore::DeleteKey(Key& key) {
    return BRN_DeleteKey(key.handle_) == BRN_OK;
}

}  // namespace peer
