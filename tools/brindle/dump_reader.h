#pragma once

#include <vector>

#include "brindle/database.h"
#include "brindle/dump_document.h"
#include "brindle/integrity.h"
#include "brindle/key_address.h"

namespace brindle::tool {

// Reads the key at `address` with every key and property below it, in stored order. A main
// key named on its own carries its flags.
DumpDocument ReadDocument(Database& database, const KeyAddress& address);

// Reads the given main keys, each with its flags and everything below it.
DumpDocument ReadMainKeys(Database& database, const std::vector<MainKeyListing>& main_keys);

// The main keys the exports list (those not hidden), with their read-only flag.
std::vector<MainKeyListing> ListedMainKeys(Database& database);

}  // namespace brindle::tool
