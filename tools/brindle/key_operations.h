#pragma once

#include <cstddef>
#include <string>

#include "brindle/database.h"
#include "brindle_watch.h"

namespace brindle::tool {

// Operations on keys that the command line and the web editor both offer, so that both
// refuse and count the same way.

struct SubtreeSize {
    std::size_t keys = 0;
    std::size_t properties = 0;
};

// The keys (the one at `address` included) and properties a deletion of it would take.
SubtreeSize Measure(Database& database, const KeyAddress& address);

// Renames the key at `address` to `new_name` (one level). The library renames without
// looking at the siblings, and two keys of one name would leave one unreachable, so a name a
// sibling has is refused with BRN_ERR_KEY_EXISTS.
void RenameKeyInPlace(Database& database, const KeyAddress& address, const std::string& new_name);

// The key a change names, as the user addresses keys: the main key and the levels of the
// change's backslash path.
KeyAddress AddressOf(const Change& change);

}  // namespace brindle::tool
