#include "transfer/subtree_import.h"

#include <fcntl.h>

#include <cinttypes>
#include <cstdio>
#include <new>
#include <optional>
#include <unordered_map>
#include <vector>

#include "brindle_codes.h"
#include "keys/change_notes.h"
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

// Writes the keys and properties of an image into the tree, merging or fresh, and notes
// every key it adds and every property it sets.
class TreeImporter {
public:
    TreeImporter(TreeStore& tree, bool fresh, std::string main_key, uint64_t main_node)
        : tree_(tree), fresh_(fresh), main_key_(std::move(main_key)) {
        paths_[main_node] = "";
    }

    // The child of `parent` named `name`: found when merging, else appended. kImportAppend when it
    // cannot be appended; with `log` the failure of a fresh import is logged.
    Status Child(uint64_t parent, const std::string& name, bool log, uint64_t& child) {
        const std::string& parent_path = paths_[parent];
        std::string path = parent_path.empty() ? name : parent_path + '\\' + name;
        if (!fresh_ && tree_.GetSubNodeIndex(parent, name, child)) {
            paths_[child] = std::move(path);
            return Status::kOk;
        }
        if (tree_.AppendSubNode(parent, child, name)) {
            notes_.Add(ChangeNote{ChangeKind::kKeyAdded, main_key_, path, ""});
            paths_[child] = std::move(path);
            return Status::kOk;
        }
        if (fresh_ && log) {
            char message[kLogBuffer];
            std::snprintf(message, sizeof(message),
                          "AppendSubNode failed in ImportSubTree,name:%s,indexid:%" PRId64,
                          name.c_str(), static_cast<int64_t>(parent));
            vell::WriteLog(message);
        }
        return Status::kImportAppend;
    }

    Status Properties(uint64_t node, const uint8_t* block, uint32_t length) {
        return ForEachProperty(block, length,
                               [&](const PropertyEntry& entry) { return Property(node, entry); });
    }

    Status Record(uint64_t parent, const NodeRecordView& record, uint64_t& node) {
        Status result = Child(parent, std::string(record.name), false, node);
        return result == Status::kOk ? Properties(node, record.block, record.block_length) : result;
    }

    // What the import changed, for its write transaction.
    const ChangeNoteBuffer& Notes() const { return notes_; }

private:
    // A property the key has already gets the imported value in its place; others are
    // appended as their records stand in the image.
    Status Property(uint64_t node, const PropertyEntry& entry) {
        RecordPos position;
        Status result = Status::kOk;
        if (!fresh_ && tree_.FindNodeProperty(node, entry.name, position)) {
            result = tree_.EditNodeProperty(node, entry.name, entry.value);
        } else if (!tree_.AppendNodeRecord(node, entry.record, entry.length)) {
            result = Status::kFailed;
        }
        if (result == Status::kOk) {
            notes_.Add(ChangeNote{ChangeKind::kPropertySet, main_key_, paths_[node],
                                  std::string(entry.name)});
        }
        return result;
    }

    TreeStore& tree_;
    bool fresh_;
    std::string main_key_;
    // The path below the main key of every key the import reached.
    std::unordered_map<uint64_t, std::string> paths_;
    ChangeNoteBuffer notes_;
};

// Opens the main key named by the image, or creates it as the mode asks.
Status OpenMainKey(CommonTree& database, const std::string& name, bool fresh, MainKeyInfo*& record,
                   uint64_t& node) {
    if (fresh) {
        return OpenKey(database, name, "", record, node, MODE_CREATE);
    }
    Status result = OpenKey(database, name, "", record, node, MODE_OPEN);
    if (result == Status::kMainKeyNotFound) {
        result = OpenKey(database, name, "", record, node, MODE_CREATE);
    }
    return result;
}

// The whole record area, checked with the rules of the import but without writing.
Status CheckRecords(const uint8_t* image, uint64_t size, const NodeRecordView& root) {
    auto accept = [](const PropertyEntry&) { return Status::kOk; };
    Status result = ForEachProperty(root.block, root.block_length, accept);
    if (result != Status::kOk) {
        return result;
    }
    return WalkChildren(image, size, root, 0,
                        [&](uint64_t, const NodeRecordView& record, uint64_t&) {
                            return ForEachProperty(record.block, record.block_length, accept);
                        });
}

}  // namespace

Status ImportSubtree(CommonTree& database, const std::string& path, bool fresh) {
    if (database.OpenedReadOnly()) {
        return Status::kOpenedReadOnly;
    }
    std::optional<vell::FoundFile> found = vell::FindFirstFile(path);
    if (!found) {
        return Status::kFileNotFound;
    }
    if (found->size >> 32 != 0) {
        return Status::kFileTooLarge;
    }
    std::vector<uint8_t> image;
    if (!ReadWholeFile(path, image) || image.empty()) {
        return Status::kImportFile;
    }
    return ImportImage(database, image.data(), image.size(), fresh);
}

namespace {

// Checks the image's records, then writes them below the main key's node `current`, along
// the key path's middle levels. The caller holds the main key's lock (or every main key's)
// for writing and runs a write transaction.
Status ImportBelowMainKey(CommonTree& database, const uint8_t* image, uint64_t size, bool fresh,
                          const std::vector<std::string>& levels, uint64_t current) {
    NodeRecordView root;
    Status result = ReadRootRecord(image, size, root);
    if (result == Status::kOk) {
        result = CheckRecords(image, size, root);
    }
    TreeImporter importer(*database.Tree(), fresh, levels[0], current);
    for (size_t i = 1; result == Status::kOk && i + 1 < levels.size(); ++i) {
        result = importer.Child(current, levels[i], true, current);
    }
    uint64_t target = current;
    if (result == Status::kOk && levels.size() > 1) {
        result = importer.Child(current, std::string(root.name), true, target);
    }
    if (result == Status::kOk) {
        result = importer.Properties(target, root.block, root.block_length);
    }
    if (result != Status::kOk) {
        return result;
    }
    result = WalkChildren(image, size, root, target,
                          [&](uint64_t parent, const NodeRecordView& record, uint64_t& node) {
                              return importer.Record(parent, record, node);
                          });
    if (result == Status::kOk) {
        importer.Notes().RecordTo(*database.Pool());
    }
    return result;
}

}  // namespace

Status ImportImage(CommonTree& database, const uint8_t* image, uint64_t size, bool fresh) {
    // An import is one unit whatever its size: it changes nothing, or everything.
    WriterGate gate(database.Pool());
    TreeStore* tree = database.Tree();
    if (tree == nullptr || database.Root() == 0) {
        return Status::kNoRoot;
    }
    std::string key_path;
    if (Status result = CheckImageHeader(image, size, key_path); result != Status::kOk) {
        return result;
    }
    std::vector<std::string> levels;
    if (!SplitKeyPath(key_path, levels) || levels.empty()) {
        return Status::kImportPath;
    }
    for (const std::string& level : levels) {
        if (!IsStorableName(level)) {
            return Status::kImportPath;
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
    if (Status result = OpenMainKey(database, levels[0], fresh, main_key, current);
        result != Status::kOk) {
        return result;
    }
    if (main_key->ReadOnly()) {
        return Status::kReadOnly;
    }
    vell::WriteGuard lock(main_key->key_lock);
    database.RetainForBatch(main_key);
    if (main_key->Dropped()) {
        return Status::kBadNode;
    }
    WriteTransaction transaction(database.Pool());
    return CommitIfOk(transaction,
                      ImportBelowMainKey(database, image, size, fresh, levels, current));
}

}  // namespace brindle
