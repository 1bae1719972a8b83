#pragma once

#include <string>
#include <vector>

#include "brindle/database_access.h"

namespace brindle::tool {

struct RepairRequest {
    bool in_place = false;
    std::string copy_path;  // base path of the copy; empty: the database's own + "-repaired"
};

struct RepairOutcome {
    std::string repaired;              // base path of the database that was repaired
    std::vector<std::string> changes;  // one line per change, in the order they were made
};

// Makes the fewest changes that leave a database `check` faults sound, working on a copy of
// its data files unless request.in_place:
//   - of two or more properties of one name in a key, keeps the one a read by name returns,
//     in its place;
//   - sets each page's piece count to the pieces that live on it;
//   - starts a new free list when the old one is broken;
//   - returns pages that belong to nothing to the free list.
// Refuses (a ToolError, nothing changed in place, no copy left) a database it cannot open or
// whose faults are of another kind; throws when faults remain after the repair.
RepairOutcome RepairDatabase(const DatabaseAccess& access, const RepairRequest& request);

}  // namespace brindle::tool
