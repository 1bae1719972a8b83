#include "brindle/sync_local.h"

#include <algorithm>

#include "brindle/tool_error.h"

namespace brindle::tool::sync {

LocalTree::LocalTree(Database& database, const KeyNaming& naming)
    : database_(database), naming_(naming) {}

KeyAddress LocalTree::AddressOf(const std::string& main_key, const std::vector<std::string>& path) {
    std::vector<std::string> names{main_key};
    names.insert(names.end(), path.begin(), path.end());
    return KeyAddress(std::move(names));
}

std::string LocalTree::MarkerOf(const std::string& main_key, bool is_main, Key& key) {
    if (!is_main) {
        return MarkerValueText(false, false, false);
    }
    const std::vector<std::string> listed = database_.MainKeys();
    const bool hidden = std::find(listed.begin(), listed.end(), main_key) == listed.end();
    return MarkerValueText(true, hidden, key.IsReadOnly());
}

void LocalTree::ReadKey(const std::string& main_key, std::vector<std::string>& path, Key& key,
                        bool recursive, Mirror& out) {
    Place place{main_key, path, ""};
    out[naming_.KeyOf(place)] = MarkerOf(main_key, path.empty(), key);
    for (auto& [name, value] : key.Properties()) {
        place.property = name;
        out[naming_.KeyOf(place)] = PropertyValueText({name, std::move(value)});
    }
    if (!recursive) {
        return;
    }
    for (const std::string& child : key.SubKeys()) {
        path.push_back(child);
        Key child_key = database_.Open(AddressOf(main_key, path));
        ReadKey(main_key, path, child_key, true, out);
        path.pop_back();
    }
}

void LocalTree::Read(const std::string& main_key, const std::vector<std::string>& path,
                     bool recursive, Mirror& out) {
    const KeyAddress address = AddressOf(main_key, path);
    if (!database_.Exists(address)) {
        return;
    }
    Key key = database_.Open(address);
    std::vector<std::string> levels = path;
    ReadKey(main_key, levels, key, recursive, out);
}

std::optional<std::string> LocalTree::ReadOne(const Place& place) {
    const KeyAddress address = AddressOf(place.main_key, place.path);
    if (!database_.Exists(address)) {
        return std::nullopt;
    }
    Key key = database_.Open(address);
    return ValueIn(place, key);
}

void LocalTree::Exchange(const Place& place, const std::optional<std::string>& value,
                         std::optional<std::string>& before) {
    const KeyAddress address = AddressOf(place.main_key, place.path);
    before.reset();
    if (!database_.Exists(address)) {
        if (value) {
            Create(place, address, *value);
        }
        return;
    }
    Key key = database_.Open(address);
    before = ValueIn(place, key);
    if (before == value) {
        return;
    }
    if (!value) {
        if (place.IsMarker()) {
            key.Delete();
        } else {
            key.DeleteProperty(place.property);
        }
    } else if (!place.IsMarker()) {
        key.Set(place.property, PropertyValueFrom(*value, "etcd value of " + place.Describe()));
    }
}

void LocalTree::Create(const Place& place, const KeyAddress& address, const std::string& value) {
    if (place.IsMarker() && place.IsMainKey()) {
        bool hidden = false;
        bool read_only = false;
        MarkerFlagsFrom(value, hidden, read_only);
        database_.CreateMainKey(place.main_key, hidden, read_only);
        return;
    }
    database_.CreatePath(address);
    if (!place.IsMarker()) {
        database_.Open(address).Set(place.property,
                                    PropertyValueFrom(value, "etcd value of " + place.Describe()));
    }
}

std::optional<std::string> LocalTree::ValueIn(const Place& place, Key& key) {
    if (place.IsMarker()) {
        return MarkerOf(place.main_key, place.IsMainKey(), key);
    }
    std::optional<vell::VariableData> value = key.Find(place.property);
    if (!value) {
        return std::nullopt;
    }
    return PropertyValueText({place.property, std::move(*value)});
}

void LocalTree::Write(const Place& place, const std::optional<std::string>& value) {
    std::optional<std::string> before;
    Exchange(place, value, before);
}

}  // namespace brindle::tool::sync
