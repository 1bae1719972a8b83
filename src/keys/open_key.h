#pragma once

#include <cstdint>
#include <string>

#include "keys/common_tree.h"
#include "keys/main_key_info.h"

namespace brindle {

// Turns a main-key name, a key path and a mode word into a main-key record and a node, or
// creates, renames or deletes the main key, as the mode asks. For a main key that does not
// exist only MODE_CREATE counts; for one that exists the first of MODE_CREATE, MODE_RENAME,
// MODE_DELETE and MODE_OPEN that is set decides (kNoOperation when none is). `record` and `node`
// are written only on success: by create (the new main key's own node) and open (the resolved node)
// both, by rename only `record`, by delete neither. With MODE_RENAME the path is the new name.
// MDException from the tree store passes.
Status OpenKey(CommonTree& database, const std::string& main_key, const std::string& path,
               MainKeyInfo*& record, uint64_t& node, uint32_t mode);

// Walks the path down from the main key's node, level by level, by exact child names; the
// path is split as dotted with MODE_DOTTED, else at backslashes. Takes the main key's lock
// for reading. False for a null record, an empty path, or a level that does not exist;
// `node` is written only on success.
bool ResolvePath(CommonTree& database, MainKeyInfo* record, const std::string& path, uint32_t mode,
                 uint64_t& node);

}  // namespace brindle
