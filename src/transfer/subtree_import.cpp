#include "transfer/subtree_import.h"

#include <fcntl.h>

#include <cinttypes>
#include <cstdio>
#include <new>
#include <optional>
#include <vector>

#include "brindle_codes.h"
#include "keys/key_paths.h"
#include "keys/open_key.h"
#include "pool/write_transaction.h"
#include "transfer/image_reader.h"
#include "vell/diagnostic_log.h"
#include "vell/file_find.h"
#include "vell/file_system.h"
#include "vell/read_write_lock.h"

namespace brindle {
namespace {

// Reads the file into memory. It is read, not mapped: another process may cut the file
// while it is read, and a mapping would then kill this process at the first byte past the
// new end. What is read is all there is; the image checks find it short.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
    vell::FileSystem& fs = vell::FileSystem::Current();
    int fd = fs.Open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    uint64_t size = 0;
    bool ok = fs.Size(fd, size) == 0;
    try {
        bytes.resize(ok ? size : 0);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    uint64_t done = 0;
    while (ok && done < size) {
        ssize_t got = fs.PRead(fd, bytes.data() + done, size - done, static_cast<off_t>(done));
        if (got < 0) {
            ok = false;
        } else if (got == 0) {
            bytes.resize(done);
            break;
        } else {
            done += static_cast<uint64_t>(got);
        }
    }
    fs.Close(fd);
    return ok;
}
constexpr size_t kLogBuffer = 2048;

// Writes the keys and properties of an image into the tree, merging or fresh.
class TreeImporter {
public:
    TreeImporter(TreeStore& tree, bool fresh) : tree_(tree), fresh_(fresh) {}

    // The child of `parent` named `name`: found when merging, else appended. 44 when it
    // cannot be appended; with `log` the failure of a fresh import is logged.
    int Child(uint64_t parent, const std::string& name, bool log, uint64_t& child) {
        if (!fresh_ && tree_.GetSubNodeIndex(parent, name, child)) {
            return BRN_OK;
        }
        if (tree_.AppendSubNode(parent, child, name)) {
            return BRN_OK;
        }
        if (fresh_ && log) {
            char message[kLogBuffer];
            std::snprintf(message, sizeof(message),
                          "AppendSubNode failed in ImportSubTree,name:%s,indexid:%" PRId64,
                          name.c_str(), static_cast<int64_t>(parent));
            vell::WriteLog(message);
        }
        return BRN_ERR_IMPORT_APPEND;
    }

    int Properties(uint64_t node, const uint8_t* block, uint32_t length) {
        return ForEachProperty(block, length,
                               [&](const PropertyEntry& entry) { return Property(node, entry); });
    }

    int Record(uint64_t parent, const NodeRecordView& record, uint64_t& node) {
        int result = Child(parent, std::string(record.name), false, node);
        return result == BRN_OK ? Properties(node, record.block, record.block_length) : result;
    }

private:
    // A property the key has already gets the imported value in its place; others are
    // appended as their records stand in the image.
    int Property(uint64_t node, const PropertyEntry& entry) {
        RecordPos position;
        if (!fresh_ && tree_.FindNodeProperty(node, entry.name, position)) {
            return tree_.EditNodeProperty(node, entry.name, entry.value);
        }
        return tree_.AppendNodeRecord(node, entry.record, entry.length) ? BRN_OK : BRN_FAIL;
    }

    TreeStore& tree_;
    bool fresh_;
};

// Opens the main key named by the image, or creates it as the mode asks.
int OpenMainKey(CommonTree& database, const std::string& name, bool fresh, MainKeyInfo*& record,
                uint64_t& node) {
    if (fresh) {
        return OpenKey(database, name, "", record, node, MODE_CREATE);
    }
    int result = OpenKey(database, name, "", record, node, MODE_OPEN);
    if (result == BRN_ERR_MAIN_KEY_NOT_FOUND) {
        result = OpenKey(database, name, "", record, node, MODE_CREATE);
    }
    return result;
}

// The whole record area, checked with the rules of the import but without writing.
int CheckRecords(const uint8_t* image, uint64_t size, const NodeRecordView& root) {
    auto accept = [](const PropertyEntry&) { return BRN_OK; };
    int result = ForEachProperty(root.block, root.block_length, accept);
    if (result != BRN_OK) {
        return result;
    }
    return WalkChildren(image, size, root, 0,
                        [&](uint64_t, const NodeRecordView& record, uint64_t&) {
                            return ForEachProperty(record.block, record.block_length, accept);
                        });
}

}  // namespace

int ImportSubtree(CommonTree& database, const std::string& path, bool fresh) {
    std::optional<vell::FoundFile> found = vell::FindFirstFile(path);
    if (!found) {
        return BRN_ERR_FILE_NOT_FOUND;
    }
    if (found->size >> 32 != 0) {
        return BRN_ERR_FILE_TOO_LARGE;
    }
    std::vector<uint8_t> image;
    if (!ReadWholeFile(path, image) || image.empty()) {
        return BRN_ERR_IMPORT_FILE;
    }
    return ImportImage(database, image.data(), image.size(), fresh);
}

namespace {

// Checks the image's records, then writes them below the main key's node `current`, along
// the key path's middle levels. The caller holds the main key's lock (or every main key's)
// for writing and runs a write transaction.
int ImportBelowMainKey(CommonTree& database, const uint8_t* image, uint64_t size, bool fresh,
                       const std::vector<std::string>& levels, uint64_t current) {
    NodeRecordView root;
    int result = ReadRootRecord(image, size, root);
    if (result == BRN_OK) {
        result = CheckRecords(image, size, root);
    }
    TreeImporter importer(*database.Tree(), fresh);
    for (size_t i = 1; result == BRN_OK && i + 1 < levels.size(); ++i) {
        result = importer.Child(current, levels[i], true, current);
    }
    uint64_t target = current;
    if (result == BRN_OK && levels.size() > 1) {
        result = importer.Child(current, std::string(root.name), true, target);
    }
    if (result == BRN_OK) {
        result = importer.Properties(target, root.block, root.block_length);
    }
    if (result != BRN_OK) {
        return result;
    }
    return WalkChildren(image, size, root, target,
                        [&](uint64_t parent, const NodeRecordView& record, uint64_t& node) {
                            return importer.Record(parent, record, node);
                        });
}

}  // namespace

int ImportImage(CommonTree& database, const uint8_t* image, uint64_t size, bool fresh) {
    // An import is one unit whatever its size: it changes nothing, or everything.
    WriterGate gate(database.Pool());
    TreeStore* tree = database.Tree();
    if (tree == nullptr || database.Root() == 0) {
        return BRN_ERR_NO_ROOT;
    }
    std::string key_path;
    if (int result = CheckImageHeader(image, size, key_path); result != BRN_OK) {
        return result;
    }
    std::vector<std::string> levels;
    if (!SplitKeyPath(key_path, levels) || levels.empty()) {
        return BRN_ERR_IMPORT_PATH;
    }
    for (const std::string& level : levels) {
        if (!IsStorableName(level)) {
            return BRN_ERR_IMPORT_PATH;
        }
    }
    if (database.FindMainKey(levels[0]) == nullptr) {
        // The main key is made in the same transaction as its content: a failed or killed
        // import leaves no empty main key behind.
        MainKeyInfo* created = nullptr;
        uint64_t node = 0;
        CommonTree::MainKeyFill fill = [&](MainKeyInfo*, uint64_t main_node) {
            return ImportBelowMainKey(database, image, size, fresh, levels, main_node);
        };
        return database.CreateMainKey(levels[0], MODE_CREATE, created, node, &fill);
    }
    MainKeyInfo* main_key = nullptr;
    uint64_t current = 0;
    if (int result = OpenMainKey(database, levels[0], fresh, main_key, current); result != BRN_OK) {
        return result;
    }
    if (main_key->ReadOnly()) {
        return BRN_ERR_READ_ONLY;
    }
    vell::WriteGuard lock(main_key->key_lock);
    database.RetainForBatch(main_key);
    if (main_key->Dropped()) {
        return BRN_ERR_BAD_NODE;
    }
    WriteTransaction transaction(database.Pool());
    return transaction.CommitIfOk(
        ImportBelowMainKey(database, image, size, fresh, levels, current));
}

}  // namespace brindle
