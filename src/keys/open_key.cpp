#include "keys/open_key.h"

#include <vector>

#include "brindle_codes.h"
#include "keys/key_paths.h"

namespace brindle {
namespace {

// MODE_OPEN on an existing main key: the key at the path below it.
Status OpenBelowMainKey(CommonTree& database, MainKeyInfo* found, const std::string& path,
                        MainKeyInfo*& record, uint64_t& node, uint32_t mode) {
    vell::ReadGuard guard(found->key_lock);
    if (found->Dropped()) {
        return Status::kMainKeyNotFound;
    }
    uint64_t current = found->node;
    if (!path.empty()) {
        bool resolved = (mode & MODE_CHILD) != 0
                            ? database.Tree()->GetSubNodeIndex(current, path, current)
                            : ResolvePath(database, found, path, mode, current);
        if (!resolved) {
            return Status::kKeyNotFound;
        }
    }
    record = found;
    node = current;
    return Status::kOk;
}

Status ChangeExistingMainKey(CommonTree& database, MainKeyInfo* found, const std::string& path,
                             MainKeyInfo*& record, uint64_t& node, uint32_t mode) {
    if ((mode & MODE_CREATE) != 0) {
        return Status::kKeyExists;
    }
    if ((mode & MODE_RENAME) != 0) {
        Status result = database.RenameMainKey(found, path);
        if (result == Status::kMainKeyGone) {
            return Status::kMainKeyNotFound;
        }
        if (result == Status::kOk) {
            record = found;
        }
        return result;
    }
    if ((mode & MODE_DELETE) != 0) {
        if (database.Config()->denyMainKeyDelete) {
            return Status::kMainKeyDeleteDenied;
        }
        Status result = database.DeleteMainKey(found);
        return result == Status::kMainKeyGone ? Status::kMainKeyNotFound : result;
    }
    if ((mode & MODE_OPEN) != 0) {
        return OpenBelowMainKey(database, found, path, record, node, mode);
    }
    return Status::kNoOperation;
}

}  // namespace

Status OpenKey(CommonTree& database, const std::string& main_key, const std::string& path,
               MainKeyInfo*& record, uint64_t& node, uint32_t mode) {
    if (database.Root() == 0) {
        return Status::kNoRoot;
    }
    if (main_key.empty()) {
        return Status::kMainKeyNotFound;
    }
    MainKeyInfo* found = database.FindMainKey(main_key);
    if (found == nullptr) {
        if ((mode & MODE_CREATE) == 0) {
            return Status::kMainKeyNotFound;
        }
        return database.CreateMainKey(main_key, mode, record, node);
    }
    return ChangeExistingMainKey(database, found, path, record, node, mode);
}

bool ResolvePath(CommonTree& database, MainKeyInfo* record, const std::string& path, uint32_t mode,
                 uint64_t& node) {
    if (record == nullptr || path.empty()) {
        return false;
    }
    vell::ReadGuard guard(record->key_lock);
    const bool dotted = (mode & MODE_DOTTED) != 0;
    TreeStore* tree = database.Tree();
    // Taken first: a path resolved in this generation names the same node until it changes.
    const uint64_t generation = tree->ChildrenGeneration();
    if (uint64_t held = database.Paths().Find(record->node, dotted, path, generation); held != 0) {
        node = held;
        return true;
    }
    std::vector<std::string> levels;
    if (dotted) {
        SplitDottedPath(path, levels);
    } else {
        SplitKeyPath(path, levels);
    }
    uint64_t current = record->node;
    for (const std::string& level : levels) {
        if (!tree->GetSubNodeIndex(current, level, current)) {
            return false;
        }
    }
    database.Paths().Add(record->node, dotted, path, current, generation);
    node = current;
    return true;
}

}  // namespace brindle
