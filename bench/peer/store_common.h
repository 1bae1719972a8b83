#pragma once

// What the three stores of the peer benchmark share: the interface the workloads drive them
// through, the listing of one key, and the hashes by which their results are compared.

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vell/variable_data.h"

namespace peer {

// How the stores make commits durable: kOff compares them without syncs (Brindle `off`,
// SQLite `synchronous=OFF`, LMDB `MDB_NOSYNC`); kPowerSafe at each one's power-safe default
// (Brindle `normal`, SQLite WAL with `synchronous=NORMAL`, LMDB's default syncs). Set before a
// store is made.
enum class Syncs { kOff, kPowerSafe };
void SetSyncs(Syncs syncs);
Syncs CurrentSyncs();

// One key's listing: its children's names, and its properties folded into a count and a
// checksum that does not depend on the order a store lists them in.
struct KeyListing {
    std::vector<std::string> children;
    uint64_t properties = 0;
    uint64_t checksum = 0;

    void AddProperty(std::string_view name, const vell::VariableData& value);
};

// What the workloads ask of a store. Each call does what one call of Brindle's exports does;
// a change is one transaction of the store's own, and a call returns false when the store
// refuses it.
// Keys live below main keys; a path names a key by its levels below its main key joined by
// a backslash, the empty path naming the main key itself. A Key is the store's handle on one
// key, movable and released when it goes. A store is made on an empty folder of its own.
template <class Store>
concept PeerStore = requires(Store store, typename Store::Key key, const std::string& name,
                             const vell::VariableData& value, vell::VariableData& read,
                             KeyListing& listing) {
    { Store::kName } -> std::convertible_to<const char*>;
    { store.CreateMainKey(name) } -> std::same_as<bool>;
    { store.Open(name, name, key) } -> std::same_as<bool>;  // (main key, path, key)
    // Appends a child named `name`; with a non-null last argument, opens it there as well.
    { store.AppendKey(key, name, &key) } -> std::same_as<bool>;
    { store.AppendProperty(key, name, value) } -> std::same_as<bool>;  // refuses an existing one
    { store.EditProperty(key, name, value) } -> std::same_as<bool>;    // refuses a missing one
    { store.ReadProperty(key, name, read) } -> std::same_as<bool>;
    // Adds the key's direct children and its properties to `listing`.
    { store.List(key, listing) } -> std::same_as<bool>;
    // Deletes the key with its properties and everything below it.
    { store.DeleteKey(key) } -> std::same_as<bool>;
};

// A hash of a key's name.
uint64_t HashName(std::string_view name);

// A hash of a property's name, type and value (its stored form).
uint64_t HashProperty(std::string_view name, const vell::VariableData& value);

}  // namespace peer
