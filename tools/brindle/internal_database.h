#pragma once

#include <memory>
#include <string>

#include "api/status_codes.h"
#include "brindle.h"
#include "brindle/database_access.h"
#include "brindle/tool_error.h"
#include "keys/common_tree.h"
#include "keys/config_record.h"

namespace brindle::tool {

// How the internal database object holds the pool for `mode`: as BRN_OpenFile would with
// the options OpenOptions(mode).
inline Access PoolAccess(OpenMode mode) {
    switch (mode) {
        case OpenMode::kShared:
            return Access::kShared;
        case OpenMode::kReadOnly:
            return Access::kReadOnly;
        case OpenMode::kExclusive:
            break;
    }
    return Access::kExclusive;
}

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
        config_.pool.access = PoolAccess(access.mode);
        OpenWaiting(
            existing,
            [this] {
                // A failed open leaves the object half made: each attempt starts afresh.
                database_ = std::make_unique<CommonTree>();
                if (database_->Open(&config_)) {
                    return BRN_OK;
                }
                const int result = OpenFailureCode(database_->LastOpenFailure());
                database_.reset();
                return result;
            },
            shown_as);
    }

    Pager& Pool() { return *database_->Pool(); }
    TreeStore& Tree() { return *database_->Tree(); }
    CommonTree& Database() { return *database_; }

private:
    ConfigRecord config_;
    std::unique_ptr<CommonTree> database_;  // after config_, which it uses until it closes
};

}  // namespace brindle::tool
