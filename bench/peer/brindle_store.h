#pragma once

// Brindle as a store of the peer benchmark, driven through the host exports only.

#include <filesystem>
#include <string>

#include "peer/store_common.h"
#include "vell/variable_data.h"

namespace peer {

class BrindleStore {
public:
    // A key handle, closed when it goes; it remembers its path for opening children by path.
    class Key {
    public:
        Key() = default;
        Key(Key&& other) noexcept;
        Key& operator=(Key&& other) noexcept;
        ~Key() { Close(); }

    private:
        friend class BrindleStore;
        void Close();

        void* handle_ = nullptr;
        std::string main_key_;
        std::string path_;
    };

    static constexpr const char* kName = "Brindle";

    // Creates the database in the empty folder `folder`; throws when it cannot.
    explicit BrindleStore(const std::filesystem::path& folder);
    ~BrindleStore();
    BrindleStore(const BrindleStore&) = delete;
    BrindleStore& operator=(const BrindleStore&) = delete;

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
    void* file_ = nullptr;
};

}  // namespace peer
