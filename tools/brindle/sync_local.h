#pragma once

// The local side of `brindle sync`: the synced keys of the database read as the etcd keys and
// values they map to, and etcd's changes written back. Everything goes through the exports,
// as for any other host.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "brindle/database.h"
#include "brindle/sync_mapping.h"

namespace brindle::tool::sync {

// etcd key -> value, in key order.
using Mirror = std::map<std::string, std::string>;

class LocalTree {
public:
    LocalTree(Database& database, const KeyNaming& naming);

    // Adds to `out` the marker and properties of the key at (main_key, path), and when
    // `recursive` those of every key below it. Adds nothing when the key does not exist.
    void Read(const std::string& main_key, const std::vector<std::string>& path, bool recursive,
              Mirror& out);
    // The value `place` has here, or nullopt when it is absent.
    std::optional<std::string> ReadOne(const Place& place);
    // Makes `place` hold `value` (nullopt: removes it, and below a key marker everything under
    // the key). Throws ToolError when the database refuses.
    void Write(const Place& place, const std::optional<std::string>& value);
    // Sets `before` to what `place` holds here, then writes `value` there unless it holds it
    // already. Throws ToolError when the database refuses (`before` is set by then).
    void Exchange(const Place& place, const std::optional<std::string>& value,
                  std::optional<std::string>& before);

private:
    static KeyAddress AddressOf(const std::string& main_key, const std::vector<std::string>& path);
    std::string MarkerOf(const std::string& main_key, bool is_main, Key& key);
    std::optional<std::string> ValueIn(const Place& place, Key& key);
    // Makes the missing key of `place` (a main key with the flags of its marker), and the
    // property when `place` is one.
    void Create(const Place& place, const KeyAddress& address, const std::string& value);
    void ReadKey(const std::string& main_key, std::vector<std::string>& path, Key& key,
                 bool recursive, Mirror& out);

    Database& database_;
    const KeyNaming& naming_;
};

}  // namespace brindle::tool::sync
