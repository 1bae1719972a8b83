#pragma once

#include "brindle/database.h"
#include "brindle/dump_document.h"

namespace brindle::tool {

// Writes a checked document into the database, merging: keys that are missing are created
// (main keys with their flags; the keys of "at" plainly), keys that exist are kept, and each
// property is changed when its key has it and added otherwise. Properties and keys the
// document does not name stay as they are.
//
// Before anything is written, the document is checked against the database: content for a
// read-only main key, which would be refused half-way, stops the load with nothing written.
void LoadDocument(Database& database, const DumpDocument& document);

}  // namespace brindle::tool
