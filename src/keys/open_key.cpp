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

// Resolves `path` below `top` level by level through the name indexes.
bool ResolveLevels(CommonTree& database, uint64_t top, const std::string& path, bool dotted,
                   uint64_t& node) {
    std::vector<std::string> levels;
    if (dotted) {
        SplitDottedPath(path, levels);
    } else {
        SplitKeyPath(path, levels);
    }
    uint64_t current = top;
    for (const std::string& level : levels) {
        if (!database.Tree()->GetSubNodeIndex(current, level, current)) {
            return false;
        }
    }
    node = current;
    return true;
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
    PathCache& paths = database.Paths();
    // Taken first: a path resolved in this generation names the same node until it changes.
    const uint64_t generation = database.Tree()->ChildrenGeneration();
    // A path that begins with its separator is a single level.
    const char separator = dotted ? '.' : '\\';
    const size_t last = path.rfind(separator);
    if (last == std::string::npos || path.front() == separator) {
        return ResolveLevels(database, record->node, path, dotted, node);
    }
    // Paths of three levels or more are held whole. The parents of all paths are held too,
    // so that opening many children of one key once each costs one index lookup apiece and
    // one entry in all.
    const bool whole = path.find(separator) != last;
    if (whole) {
        if (uint64_t held = paths.Find(record->node, dotted, path, generation); held != 0) {
            node = held;
            return true;
        }
    }
    const std::string_view parent_path(path.data(), last);
    uint64_t parent = paths.Find(record->node, dotted, parent_path, generation);
    if (parent == 0) {
        if (!ResolveLevels(database, record->node, std::string(parent_path), dotted, parent)) {
            return false;
        }
        paths.Add(record->node, dotted, parent_path, parent, generation);
    }
    // The last level: after the last backslash, or the whole dotted path.
    if (!database.Tree()->GetSubNodeIndex(parent, dotted ? path : path.substr(last + 1), node)) {
        return false;
    }
    if (whole) {
        paths.Add(record->node, dotted, path, node, generation);
    }
    return true;
}

}  // namespace brindle
