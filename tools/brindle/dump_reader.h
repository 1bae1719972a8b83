#pragma once

#include "brindle/database.h"
#include "brindle/dump_document.h"
#include "brindle/key_address.h"

namespace brindle::tool {

// Reads the key at `address` with every key and property below it, in stored order; for the
// database itself, every main key that is listed (hidden main keys are left out of listings,
// so they are dumped only when named). A main key named on its own carries its flags.
DumpDocument ReadDocument(Database& database, const KeyAddress& address);

}  // namespace brindle::tool
