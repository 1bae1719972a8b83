#pragma once

// Change notification: a host learns of every committed change below a key, made by this
// process or by any other process that has the database open.

#include <cstdint>
#include <functional>
#include <string>

#include "brindle_export.h"

namespace brindle {

// What a change did.
enum class ChangeKind : uint8_t {
    kKeyAdded,         // `path` is the new key
    kKeyDeleted,       // `path` is the deleted key (its subtree went with it)
    kKeyRenamed,       // `path` is the key's old path, `name` its new name
    kPropertySet,      // a property of the key at `path` was added or edited; `name` is it
    kPropertyDeleted,  // `name` is the property deleted from the key at `path`
    // Changes of the main key were lost to this watcher (another process's changes were
    // checkpointed before this process read them, or the watcher fell too far behind): it
    // should read the main key afresh. `path` and `name` are empty.
    kResync,
};

// The name a change kind has in text: "key-added", "key-deleted", "key-renamed",
// "property-set", "property-deleted", "resync".
BRN_EXPORT const char* ChangeKindName(ChangeKind kind);

// One committed change. Changes of one commit share its sequence number; sequence numbers
// grow with every commit of the database, across all processes.
struct Change {
    uint64_t sequence = 0;
    std::string main_key;
    std::string path;  // below the main key, names joined with '\'; empty for the main key
    ChangeKind kind = ChangeKind::kPropertySet;
    std::string name;
};

using WatchCallback = std::function<void(const Change&)>;
// Names one watch; 0 is never a valid token.
using WatchToken = uint64_t;

// Calls `callback` for every change committed from now on to the key at `path` below
// `mainKey` (empty path: the main key itself) and, when `recursive`, to every key below it;
// without `recursive`, of the keys below only the adding, deleting and renaming of its direct
// children. The deletion or renaming of the key itself or of a key above it, and a resync of
// the main key, reach every watch of the main key. An empty `mainKey` watches every change of
// every main key. Watches go by name: a watch of a renamed key hears of its renaming, then
// watches the old name.
//
// Callbacks run on a thread of the library (one per database with watches), one at a time, in
// commit order, after the commit and never under a lock of the database, so a callback may
// call the exports (changing ones too), start watches and Unwatch any token, its own included.
// It may even close the database, whose watches then end once it returns. An exception
// leaving a callback is reported as a diagnostic line and dropped. Changes made by other
// processes arrive within about 100 ms.
// Returns 0 when fileHandle is not an open database or callback is empty.
BRN_EXPORT WatchToken Watch(void*& fileHandle, const std::string& mainKey, const std::string& path,
                            bool recursive, WatchCallback callback);
// Ends the watch: once it returns, its callback is not running and is never called again
// (called from that callback, it returns at once, and the callback is not called again).
// False for an unknown token. Watches end by themselves when their database is closed.
BRN_EXPORT bool Unwatch(WatchToken token);

}  // namespace brindle
