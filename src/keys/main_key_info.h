#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "vell/read_write_lock.h"

namespace brindle {

// Flag bits of a main key, kept in the flag word of its node page's head. The pool uses
// other bits of the same word.
inline constexpr uint32_t kKeyReadOnly = 0x100;
inline constexpr uint32_t kKeyHidden = 0x200;

// One main key (a child of the root) as the database object keeps it in memory.
//
// `node` and `flags` are fixed for the record's life. `name` changes only when the main key
// is renamed, under the database lock held for writing. `key_lock` guards every node and
// property below the main key. A record taken out of the table (main key deleted, or its
// name taken over by a rename) stays alive until the database closes, marked dropped, so
// that key handles still pointing to it remain safe to use and to close.
struct MainKeyInfo {
    MainKeyInfo(uint64_t node_page, std::string key_name, uint32_t flag_word)
        : node(node_page), name(std::move(key_name)), flags(flag_word) {}
    MainKeyInfo(const MainKeyInfo&) = delete;
    MainKeyInfo& operator=(const MainKeyInfo&) = delete;

    bool ReadOnly() const { return (flags & kKeyReadOnly) != 0; }
    bool Hidden() const { return (flags & kKeyHidden) != 0; }
    // True once the main key's node was deleted; set under the key lock held for writing.
    bool Dropped() const { return dropped.load(std::memory_order_acquire); }

    const uint64_t node;
    std::string name;
    vell::ReadWriteLock key_lock;
    const uint32_t flags;
    std::atomic<bool> dropped{false};
};

}  // namespace brindle
