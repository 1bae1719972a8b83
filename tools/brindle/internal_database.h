#pragma once

#include <string>

#include "brindle.h"
#include "brindle/database_access.h"
#include "brindle/tool_error.h"
#include "keys/common_tree.h"
#include "keys/config_record.h"

namespace brindle::tool {

// The database opened as BRN_OpenFile opens it (the default configuration with the given
// path), but held as the internal database object so that its pool and tree can be walked.
// Only the integrity module (check, stats, repair, the main keys' flags) uses it.
class InternalDatabase {
public:
    // `shown_as` names the database in messages (a repair's copy by its original's name).
    explicit InternalDatabase(const DatabaseAccess& access, const std::string& shown_as = "") {
        DatabaseAccess existing = access;
        existing.create = false;
        PrepareOpen(existing);
        config_.dataPath = access.path;
        if (!database_.Open(&config_)) {
            const std::string why = ExplainOpenFailure(access.path);
            if (!why.empty()) {
                throw ToolError(why);
            }
            CheckResult(BRN_FAIL, "cannot open the database '" +
                                      (shown_as.empty() ? access.path : shown_as) + "'");
        }
    }

    Pager& Pool() { return *database_.Pool(); }
    TreeStore& Tree() { return *database_.Tree(); }
    CommonTree& Database() { return database_; }

private:
    ConfigRecord config_;
    CommonTree database_;  // after config_, which it uses until it closes
};

}  // namespace brindle::tool
