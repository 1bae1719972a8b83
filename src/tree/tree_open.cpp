// Opening, creating and deleting the common tree.
#include <cstring>
#include <vector>

#include "tree/pinned_page.h"
#include "tree/tree_store.h"
#include "vell/endian.h"
#include "vell/library_errors.h"

namespace brindle {
namespace {

void AddOrThrow(Page* page, const void* data, uint32_t length, const char* message) {
    if (page->AddData(data, length) != length) {
        vell::ThrowFormatError(message);
    }
}

}  // namespace

TreeStore::TreeStore(Pager* pool, std::string root_name)
    : pool_(pool), root_name_(std::move(root_name)) {
    if (pool_ != nullptr) {
        // Indexes may describe pages a rolled-back transaction changed.
        pool_->SetRollbackListener([this] { index_.Clear(); });
    }
}

TreeStore::~TreeStore() {
    if (pool_ != nullptr) {
        pool_->SetRollbackListener(nullptr);
    }
}

std::vector<std::string> TreeStore::CheckIndexes() {
    std::vector<std::string> problems;
    index_.ForEach([&](NodeIndexCache::Kind kind, uint64_t node,
                       const NodeIndexCache::Table& held) {
        NodeIndexCache::Table actual;
        bool indexable = kind == NodeIndexCache::Kind::kChildren ? ReadChildTable(node, actual)
                                                                 : ReadPropertyTable(node, actual);
        if (!indexable || !SameIndex(node, actual, held)) {
            problems.push_back(
                "node " + std::to_string(node) + ": the " +
                (kind == NodeIndexCache::Kind::kChildren ? "children" : "properties") +
                " index differs from the pages");
        }
    });
    return problems;
}

bool TreeStore::SameIndex(uint64_t node, const NodeIndexCache::Table& actual,
                          const NodeIndexCache::Table& held) {
    if (actual.size() != held.size()) {
        return false;
    }
    for (const auto& [name, entry] : held) {
        auto found = actual.find(name);
        if (found == actual.end() || !(found->second.position == entry.position)) {
            return false;
        }
        if (entry.record) {
            std::vector<uint8_t> record(NodeIndexCache::kMaxHeldRecord);
            uint32_t length = static_cast<uint32_t>(record.size());
            if (GetNodeRecord(node, entry.position, record.data(), length) != Status::kOk ||
                length != vell::LoadU32(entry.record.get()) ||
                std::memcmp(record.data(), entry.record.get() + 4, length) != 0) {
                return false;
            }
        }
    }
    return true;
}

bool TreeStore::ResetTree() {
    vell::WriteGuard lock(database_lock_);
    index_.Clear();
    root_page_ = 0;
    descriptor_ = TreeDescriptor();
    return true;
}

bool TreeStore::OpenTree(int flags) {
    if (pool_ == nullptr) {
        return false;
    }
    vell::WriteGuard lock(database_lock_);
    if (root_page_ > 0) {
        return true;
    }
    if (!(pool_->TreeFlags() & kCommonTreePresent)) {
        if (flags & kOpenMustExist) {
            vell::ThrowFormatError("Common queue no exist -- Open tree");
        }
        return CreateNew() && OpenTree(kOpenMustExist);
    }
    if (flags & kOpenRecreate) {
        return DeleteTree() && OpenTree(kOpenCreate);
    }
    uint64_t queue = pool_->FirstQueuePage();
    if (queue == 0) {
        vell::ThrowFormatError("Open tree failed ,file format error -- Open tree");
    }
    const char* where = "File format error -- Open tree";
    // A queue that leads back on itself would be walked for ever: it cannot be longer than
    // the pool.
    for (uint64_t walked = 0;; ++walked) {
        PinnedPage page(pool_, queue, where);
        if (page.Head().PageType() != kPageTypeQueue || walked > pool_->PageCount() ||
            page->AreaSize() < kQueueEntrySize + kTreeDescriptorSize) {
            vell::ThrowFormatError(where);
        }
        QueueEntry entry = QueueEntry::Decode(page->Area());
        if (entry.kind == kQueueKindCommonTree) {
            TreeDescriptor descriptor = TreeDescriptor::Decode(page->Area() + 16);
            if (descriptor.length != kTreeDescriptorSize) {
                vell::ThrowFormatError("Open tree failed,File format error2 -- Open tree");
            }
            if (descriptor.version != 1) {
                vell::ThrowFormatError("Open tree failed,File format error3 -- Open tree");
            }
            const char* bad_root = "Open tree failed,File format error5 -- Open tree";
            PinnedPage root(pool_, descriptor.root_page, bad_root);
            if (root.Head().PageType() != kPageTypeNode) {
                vell::ThrowFormatError(bad_root);
            }
            descriptor_ = descriptor;
            root_page_ = descriptor.root_page;
            return true;
        }
        if (entry.next_queue_page == 0) {
            vell::ThrowFormatError("Open tree failed,File format error4 -- Open tree");
        }
        queue = entry.next_queue_page;
    }
}

bool TreeStore::CreateNew() {
    if (pool_ == nullptr) {
        return false;
    }
    if (pool_->TreeFlags() & kCommonTreePresent) {
        vell::ThrowFormatError("Common queue has exist -- Create new common tree");
    }
    const char* where = "File format error -- Create new common tree";
    // The queue page, linked behind the last one of the queue (or anchored in the head).
    std::unique_ptr<PinnedPage> queue;
    std::unique_ptr<PinnedPage> last_queue;
    if (pool_->FirstQueuePage() == 0) {
        queue = std::make_unique<PinnedPage>(pool_, PinnedPage::NewTag{}, where);
    } else {
        uint64_t number = pool_->FirstQueuePage();
        for (uint64_t walked = 0;; ++walked) {
            auto page = std::make_unique<PinnedPage>(pool_, number, where);
            if (page->Head().PageType() != kPageTypeQueue || walked > pool_->PageCount() ||
                (*page)->AreaSize() < kQueueEntrySize) {
                vell::ThrowFormatError(where);
            }
            QueueEntry entry = QueueEntry::Decode((*page)->Area());
            if (entry.kind == kQueueKindCommonTree) {
                vell::ThrowFormatError("Common queue has exist2 -- Create new common tree");
            }
            if (entry.next_queue_page == 0) {
                last_queue = std::move(page);
                break;
            }
            number = entry.next_queue_page;
        }
        queue = std::make_unique<PinnedPage>(pool_, PinnedPage::NewTag{}, where);
    }
    queue->ChangeHead().SetPageType(kPageTypeQueue);
    PinnedPage root(pool_, PinnedPage::NewTag{}, where);

    std::string name = root_name_;
    if (name.size() >= root->Room() - (kNodeRecordSize + kRecordHeaderSize)) {
        name = "Root";
    }
    const char* failed = "Add data failed -- Create common tree";
    uint8_t bytes[kNodeRecordSize];
    QueueEntry entry{kQueueKindCommonTree, (*queue)->DataLen() + 16, 0};
    entry.Encode(bytes);
    AddOrThrow(queue->page(), bytes, kQueueEntrySize, failed);
    TreeDescriptor descriptor;
    descriptor.own_position = RecordPos{16, queue->Number()};
    descriptor.root_page = root.Number();
    descriptor.Encode(bytes);
    AddOrThrow(queue->page(), bytes, kTreeDescriptorSize, failed);

    NodeRecord node;
    node.tail_page = queue->Number();
    node.first_record = node.last_record = RecordPos{kNodeRecordSize, root.Number()};
    node.Encode(bytes);
    AddOrThrow(root.page(), bytes, kNodeRecordSize, failed);
    RecordHeader header;
    header.data_length = static_cast<int32_t>(name.size() + 1);
    header.flags = kRecordStart | kRecordFirst | kRecordLast;
    header.Encode(bytes);
    AddOrThrow(root.page(), bytes, kRecordHeaderSize, failed);
    AddOrThrow(root.page(), name.c_str(), static_cast<uint32_t>(name.size() + 1), failed);
    root.ChangeHead().SetPieceCount(1);
    root.ChangeHead().SetPageType(kPageTypeNode);

    if (last_queue) {
        QueueEntry previous = QueueEntry::Decode((*last_queue)->Area());
        previous.next_queue_page = queue->Number();
        previous.Encode((*last_queue)->ChangeArea());
        last_queue->MarkChanged();
    }
    pool_->SetTreeAnchor(pool_->TreeFlags() | kCommonTreePresent,
                         last_queue ? pool_->FirstQueuePage() : queue->Number());
    return true;
}

bool TreeStore::DeleteTree() {
    index_.Clear();
    if (pool_ == nullptr) {
        return false;
    }
    vell::WriteGuard lock(database_lock_);
    if (!TreeOpen() && !OpenTree(kOpenMustExist)) {
        return false;
    }
    if (!TreeOpen() || DeleteNode(root_page_) != Status::kOk) {
        return false;
    }
    pool_->SetTreeAnchor(pool_->TreeFlags() & ~kCommonTreePresent, pool_->FirstQueuePage());
    PinnedPage queue(pool_, descriptor_.own_position.page, "File format error -- DeleteTree");
    if (queue.Head().PageType() != kPageTypeQueue) {
        vell::ThrowFormatError("File format error -- DeleteTree");
    }
    if (queue->Area()[0] != kQueueKindCommonTree) {
        vell::ThrowFormatError("File format error -- Delete Tree");
    }
    queue->ChangeArea()[0] = 0;
    queue.MarkChanged();
    ResetTree();
    return true;
}

}  // namespace brindle
