#pragma once

#include <ostream>

#include "brindle/database.h"
#include "brindle/key_address.h"

namespace brindle::tool {

// Prints keys as an indented tree, two spaces a level, each key as "name/" and, with
// `properties`, each property as "name = value  [type]" above the key's children. Starting
// at a key, that key comes first and `depth` levels below it follow; starting at the
// database, the listed main keys are the first level. A negative depth shows everything.
void PrintTree(Database& database, const KeyAddress& start, int depth, bool properties,
               std::ostream& out);

}  // namespace brindle::tool
