#pragma once

#include <ostream>
#include <vector>

#include "brindle/database.h"
#include "brindle/dump_document.h"
#include "brindle/integrity.h"

namespace brindle::tool {

struct LoadOptions {
    bool dry_run = false;       // count what would change, write nothing
    bool ignore_flags = false;  // warn, do not refuse, when an existing main key's flags differ
    // The database's main keys with their flags, hidden ones too (read before it was opened).
    std::vector<MainKeyListing> main_keys;
};

struct LoadCounts {
    std::size_t keys_created = 0;
    std::size_t properties_added = 0;
    std::size_t properties_changed = 0;
    std::size_t properties_unchanged = 0;  // same type and same bits: not written
};

// Writes a checked document into the database as one batch (all of it or nothing), merging: keys
// that are missing are created (main keys with their flags; the keys of "at" plainly), keys that
// exist are kept, and each property is added when its key lacks it, changed when its key holds
// another type or other bits, and left alone (counted as unchanged) when its key holds the same
// already. Properties and keys the document does not name stay as they are.
//
// Before anything is written, the document is checked against the database: content for a
// read-only main key, which would be refused half-way, stops the load with nothing written,
// and so does an existing main key whose hidden or read-only flag differs from the
// document's (a flag cannot be changed once a main key exists), unless ignore_flags, which
// turns that into a line on `warnings`.
LoadCounts LoadDocument(Database& database, const DumpDocument& document,
                        const LoadOptions& options, std::ostream& warnings);

}  // namespace brindle::tool
