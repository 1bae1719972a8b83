#include "keys/key_operations.h"

#include <optional>
#include <string>
#include <vector>

#include "brindle_codes.h"
#include "keys/change_notes.h"
#include "md_exception.h"
#include "pool/write_transaction.h"
#include "vell/library_errors.h"

namespace brindle {
namespace {

// Smallest work buffer worth reading a record into without asking its length first.
constexpr uint32_t kMinPropertyBuffer = 512;

void GrowPropertyBuffer(vell::MemCache& buffer, uint64_t size) {
    bool grown = false;
    try {
        grown = size <= vell::MemCache::kMaxSize && buffer.Allocate(static_cast<uint32_t>(size));
    } catch (const MDException&) {
        grown = false;
    }
    if (!grown) {
        vell::ThrowFormatError("Alloc memory error -- GetNodeProperty");
    }
}

// Deeper than any tree a pool can hold: a walk up that goes on longer met a parent loop.
constexpr int kMaxDepth = 1 << 20;

std::string ChildPath(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + '\\' + name;
}

}  // namespace

std::string KeyOperations::PathOf(uint64_t node) {
    TreeStore* tree = database_.Tree();
    // Taken first: a path found in this generation stays the node's until it changes.
    const uint64_t generation = tree->ChildrenGeneration();
    if (std::optional<std::string> held =
            database_.Paths().FindPathOf(record_->node, node, generation)) {
        return *held;
    }
    const uint64_t asked = node;
    std::vector<std::string> names;
    for (int depth = 0; node != record_->node; ++depth) {
        std::string name;
        uint64_t parent = 0;
        if (depth == kMaxDepth || node == 0 || tree->GetNodeName(node, name) != Status::kOk ||
            tree->GetNodeParent(node, parent) != Status::kOk) {
            vell::ThrowFormatError("Data format error -- key path");
        }
        names.push_back(std::move(name));
        node = parent;
    }
    std::string path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        path = ChildPath(path, *it);
    }
    database_.Paths().AddPathOf(record_->node, asked, path, generation);
    return path;
}

Status KeyOperations::CommitNoted(WriteTransaction& transaction, Status result, ChangeKind kind,
                                  std::string path, const std::string& name) {
    if (result == Status::kOk) {
        RecordChange(*database_.Pool(), ChangeNote{kind, record_->name, std::move(path), name});
        transaction.Commit();
    }
    return result;
}

// Runs body under the main key's read lock, once the handle's node is there:
// kNoMainKey without a main-key record, kBadNode for no node or a deleted main key.
template <typename Body>
Status KeyOperations::WithNode(Body&& body) {
    if (record_ == nullptr) {
        return Status::kNoMainKey;
    }
    vell::ReadGuard guard(record_->key_lock);
    if (Status checked = CheckNode(); checked != Status::kOk) {
        return checked;
    }
    return body();
}

// Runs a change under the writer gate and then the main key's write lock (which a batch
// keeps to its end), once the handle's node is there.
template <typename Body>
Status KeyOperations::WithNodeForChange(Body&& body) {
    if (record_ == nullptr) {
        return Status::kNoMainKey;
    }
    if (database_.OpenedReadOnly()) {
        return Status::kOpenedReadOnly;
    }
    WriterGate gate(database_.Pool());
    vell::WriteGuard guard(record_->key_lock);
    database_.RetainForBatch(record_);
    if (Status checked = CheckNode(); checked != Status::kOk) {
        return checked;
    }
    return body();
}

Status KeyOperations::CheckNode() const {
    if (record_ == nullptr) {
        return Status::kNoMainKey;
    }
    if (node_ == 0 || record_->Dropped()) {
        return Status::kBadNode;
    }
    return Status::kOk;
}

Status KeyOperations::GetSubKeyNames(vell::MemCache& block, uint32_t& length) {
    return WithNode([&]() -> Status {
        return database_.Tree()->GetSubNodeNames(&record_->key_lock, node_, block, length);
    });
}

Status KeyOperations::AppendSubKey(std::string& name) {
    return WithNodeForChange([&]() -> Status {
        WriteTransaction transaction(database_.Pool());
        TreeStore* tree = database_.Tree();
        std::string child_name = name;
        if (child_name.empty()) {
            Status named =
                tree->NextSubNodeName(&record_->key_lock, record_->node, node_, child_name);
            if (named != Status::kOk) {
                return named;
            }
        }
        uint64_t child = 0;
        if (tree->GetSubNodeIndex(node_, child_name, child)) {
            return Status::kKeyExists;
        }
        if (!tree->AppendSubNode(node_, child, child_name)) {
            return Status::kFailed;
        }
        CommitNoted(transaction, Status::kOk, ChangeKind::kKeyAdded,
                    ChildPath(PathOf(node_), child_name), "");
        name = child_name;
        return Status::kOk;
    });
}

Status KeyOperations::RenameKey(const std::string& new_name) {
    if (record_ != nullptr && record_->ReadOnly()) {
        return Status::kReadOnly;
    }
    return WithNodeForChange([&]() -> Status {
        WriteTransaction transaction(database_.Pool());
        std::string old_path = PathOf(node_);
        return CommitNoted(transaction, database_.Tree()->EditNodeName(node_, new_name),
                           ChangeKind::kKeyRenamed, std::move(old_path), new_name);
    });
}

Status KeyOperations::DeleteKey() {
    if (record_ == nullptr) {
        return Status::kNoMainKey;
    }
    if (node_ != 0 && node_ == record_->node) {
        // The main key itself: its node and its table entry go together, under the locks
        // of every main key whose sibling links change.
        if (database_.Config()->denyMainKeyDelete) {
            return Status::kMainKeyDeleteDenied;
        }
        Status result = database_.DeleteMainKey(record_);
        return result == Status::kMainKeyGone ? Status::kBadNode : result;
    }
    return WithNodeForChange([&]() -> Status {
        WriteTransaction transaction(database_.Pool());
        std::string path = PathOf(node_);
        return CommitNoted(transaction, database_.Tree()->DeleteNode(node_),
                           ChangeKind::kKeyDeleted, std::move(path), "");
    });
}

Status KeyOperations::GetNodeProperty(const std::string& name, vell::MemCache& buffer,
                                      uint32_t& length) {
    return WithNode([&]() -> Status {
        TreeStore* tree = database_.Tree();
        // Most records fit the buffer as it is; only a larger one costs a second read.
        if (buffer.Size() < kMinPropertyBuffer) {
            GrowPropertyBuffer(buffer, kMinPropertyBuffer);
        }
        uint32_t record_length = buffer.Size() - kPropertyRecordOffset;
        Status result = tree->GetNodePropertyByName(
            node_, name, buffer.Data() + kPropertyRecordOffset, record_length);
        if (result == Status::kBufferTooSmall) {
            GrowPropertyBuffer(buffer, uint64_t{record_length} + kPropertyRecordOffset);
            result = tree->GetNodePropertyByName(node_, name, buffer.Data() + kPropertyRecordOffset,
                                                 record_length);
        }
        if (result != Status::kOk) {
            return result;
        }
        length = record_length + kPropertyRecordOffset;
        return Status::kOk;
    });
}

Status KeyOperations::GetNodeProperties(vell::MemCache& buffer, uint32_t& length) {
    return WithNode([&]() -> Status {
        return database_.Tree()->GetNodeAllRecords(node_, buffer, length,
                                                   TreeStore::RecordsForm::kListing24);
    });
}

Status KeyOperations::AppendProperty(const std::string& name, const uint8_t* record,
                                     uint32_t length) {
    return WithNodeForChange([&]() -> Status {
        TreeStore* tree = database_.Tree();
        RecordPos existing;
        if (tree->FindNodeProperty(node_, name, existing)) {
            return Status::kPropertyExists;
        }
        WriteTransaction transaction(database_.Pool());
        return CommitNoted(
            transaction,
            tree->AppendNodeRecord(node_, record, length) ? Status::kOk : Status::kFailed,
            ChangeKind::kPropertySet, PathOf(node_), name);
    });
}

Status KeyOperations::EditProperty(const std::string& name, const uint8_t* record,
                                   uint32_t length) {
    return WithNodeForChange([&]() -> Status {
        TreeStore* tree = database_.Tree();
        RecordPos existing;
        if (!tree->FindNodeProperty(node_, name, existing)) {
            return Status::kPropertyNotFound;
        }
        WriteTransaction transaction(database_.Pool());
        return CommitNoted(transaction, tree->ReplaceNodeProperty(node_, name, record, length),
                           ChangeKind::kPropertySet, PathOf(node_), name);
    });
}

Status KeyOperations::DeleteProperty(const std::string& name) {
    return WithNodeForChange([&]() -> Status {
        WriteTransaction transaction(database_.Pool());
        return CommitNoted(transaction, database_.Tree()->DeleteNodePropertyByName(node_, name),
                           ChangeKind::kPropertyDeleted, PathOf(node_), name);
    });
}

}  // namespace brindle
