#include "keys/key_operations.h"

#include "brindle_codes.h"
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

}  // namespace

// Runs body under the main key's lock, taken with Guard, once the handle's node is there: 102
// without a main-key record, 5 for no node or a deleted main key.
template <typename Guard, typename Body>
int KeyOperations::WithNode(Body&& body) {
    if (record_ == nullptr) {
        return BRN_ERR_INVALID_ARGUMENT;
    }
    Guard guard(record_->key_lock);
    if (int checked = CheckNode(); checked != BRN_OK) {
        return checked;
    }
    return body();
}

// Runs a change under the writer gate and then the main key's write lock (which a batch
// keeps to its end), once the handle's node is there.
template <typename Body>
int KeyOperations::WithNodeForChange(Body&& body) {
    if (record_ == nullptr) {
        return BRN_ERR_INVALID_ARGUMENT;
    }
    WriterGate gate(database_.Pool());
    vell::WriteGuard guard(record_->key_lock);
    database_.RetainForBatch(record_);
    if (int checked = CheckNode(); checked != BRN_OK) {
        return checked;
    }
    return body();
}

int KeyOperations::CheckNode() const {
    if (record_ == nullptr) {
        return BRN_ERR_INVALID_ARGUMENT;
    }
    if (node_ == 0 || record_->Dropped()) {
        return BRN_ERR_BAD_NODE;
    }
    return BRN_OK;
}

int KeyOperations::GetSubKeyNames(vell::MemCache& block, uint32_t& length) {
    return WithNode<vell::ReadGuard>([&]() -> int {
        return database_.Tree()->GetSubNodeNames(&record_->key_lock, node_, block, length);
    });
}

int KeyOperations::AppendSubKey(std::string& name) {
    return WithNodeForChange([&]() -> int {
        WriteTransaction transaction(database_.Pool());
        TreeStore* tree = database_.Tree();
        std::string child_name = name;
        if (child_name.empty()) {
            int named = tree->NextSubNodeName(&record_->key_lock, record_->node, node_, child_name);
            if (named != BRN_OK) {
                return named;
            }
        }
        uint64_t child = 0;
        if (tree->GetSubNodeIndex(node_, child_name, child)) {
            return BRN_ERR_KEY_EXISTS;
        }
        if (!tree->AppendSubNode(node_, child, child_name)) {
            return BRN_FAIL;
        }
        transaction.Commit();
        name = child_name;
        return BRN_OK;
    });
}

int KeyOperations::RenameKey(const std::string& new_name) {
    if (record_ != nullptr && record_->ReadOnly()) {
        return BRN_ERR_READ_ONLY;
    }
    return WithNodeForChange([&]() -> int {
        WriteTransaction transaction(database_.Pool());
        return transaction.CommitIfOk(database_.Tree()->EditNodeName(node_, new_name));
    });
}

int KeyOperations::DeleteKey() {
    if (record_ == nullptr) {
        return BRN_ERR_INVALID_ARGUMENT;
    }
    if (node_ != 0 && node_ == record_->node) {
        // The main key itself: its node and its table entry go together, under the locks
        // of every main key whose sibling links change.
        if (database_.Config()->denyMainKeyDelete) {
            return BRN_ERR_MAIN_KEY_DELETE_DENIED;
        }
        int result = database_.DeleteMainKey(record_);
        return result == CommonTree::kMainKeyGone ? BRN_ERR_BAD_NODE : result;
    }
    return WithNodeForChange([&]() -> int {
        WriteTransaction transaction(database_.Pool());
        return transaction.CommitIfOk(database_.Tree()->DeleteNode(node_));
    });
}

int KeyOperations::GetNodeProperty(const std::string& name, vell::MemCache& buffer,
                                   uint32_t& length) {
    return WithNode<vell::ReadGuard>([&]() -> int {
        TreeStore* tree = database_.Tree();
        RecordPos position;
        if (!tree->FindNodeProperty(node_, name, position)) {
            return BRN_ERR_PROPERTY_NOT_FOUND;
        }
        // Most records fit the buffer as it is; only a larger one costs a second read.
        if (buffer.Size() < kMinPropertyBuffer) {
            GrowPropertyBuffer(buffer, kMinPropertyBuffer);
        }
        uint32_t record_length = buffer.Size() - kPropertyRecordOffset;
        int result = tree->GetNodeRecord(node_, position, buffer.Data() + kPropertyRecordOffset,
                                         record_length);
        if (result == kTreeBufferTooSmall) {
            GrowPropertyBuffer(buffer, uint64_t{record_length} + kPropertyRecordOffset);
            result = tree->GetNodeRecord(node_, position, buffer.Data() + kPropertyRecordOffset,
                                         record_length);
        }
        if (result != BRN_OK) {
            return result;
        }
        length = record_length + kPropertyRecordOffset;
        return BRN_OK;
    });
}

int KeyOperations::GetNodeProperties(vell::MemCache& buffer, uint32_t& length) {
    return WithNode<vell::ReadGuard>([&]() -> int {
        return database_.Tree()->GetNodeAllRecords(node_, buffer, length,
                                                   TreeStore::RecordsForm::kListing24);
    });
}

int KeyOperations::AppendProperty(const std::string& name, const uint8_t* record, uint32_t length) {
    return WithNodeForChange([&]() -> int {
        TreeStore* tree = database_.Tree();
        RecordPos existing;
        if (tree->FindNodeProperty(node_, name, existing)) {
            return BRN_ERR_PROPERTY_EXISTS;
        }
        WriteTransaction transaction(database_.Pool());
        return transaction.CommitIfOk(tree->AppendNodeRecord(node_, record, length) ? BRN_OK
                                                                                    : BRN_FAIL);
    });
}

int KeyOperations::EditProperty(const std::string& name, const uint8_t* record, uint32_t length) {
    return WithNodeForChange([&]() -> int {
        TreeStore* tree = database_.Tree();
        RecordPos existing;
        if (!tree->FindNodeProperty(node_, name, existing)) {
            return BRN_ERR_PROPERTY_NOT_FOUND;
        }
        WriteTransaction transaction(database_.Pool());
        return transaction.CommitIfOk(tree->ReplaceNodeProperty(node_, name, record, length));
    });
}

int KeyOperations::DeleteProperty(const std::string& name) {
    return WithNodeForChange([&]() -> int {
        WriteTransaction transaction(database_.Pool());
        return transaction.CommitIfOk(database_.Tree()->DeleteNodePropertyByName(node_, name));
    });
}

}  // namespace brindle
