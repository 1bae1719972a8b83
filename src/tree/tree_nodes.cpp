// Nodes: appending, finding, listing, naming and deleting the keys of the tree.
#include <cstring>

#include "tree/pinned_page.h"
#include "tree/tree_store.h"
#include "vell/diagnostic_log.h"
#include "vell/endian.h"
#include "vell/library_errors.h"

namespace brindle {

Status TreeStore::ReadName(PinnedPage& node, std::string& name) {
    NodeRecord record = node->ReadNode();
    if (record.first_record.page == 0) {
        vell::ThrowFormatError("Node name is empty -- GetNodeName");
    }
    const char* format = "Data format error -- GetNodeName";
    std::unique_ptr<PinnedPage> other;
    PinnedPage* page = &node;
    if (record.first_record.page != node.Number()) {
        other = std::make_unique<PinnedPage>(pool_, record.first_record.page, format);
        page = other.get();
    }
    RecordHeader header = (*page)->ReadHeader(record.first_record.offset);
    if (!header.Has(kRecordStart) || !header.Has(kRecordFirst)) {
        vell::ThrowFormatError(format);
    }
    if (header.data_length < 1) {
        vell::ThrowFormatError("Data format error record len less zero -- GetNodeName");
    }
    std::string data(static_cast<size_t>(header.data_length), '\0');
    if (!CopyDataFromPageEx(*page, reinterpret_cast<uint8_t*>(data.data()),
                            record.first_record.offset + kRecordHeaderSize,
                            static_cast<uint32_t>(header.data_length))) {
        return Status::kDataError;
    }
    name.assign(data.c_str());
    return Status::kOk;
}

Status TreeStore::GetNodeName(uint64_t node, std::string& name) {
    if (Status checked = CheckNode(node); checked != Status::kOk) {
        return checked;
    }
    PinnedPage page(pool_, node, "Data format error -- GetNodeName");
    return ReadName(page, name);
}

Status TreeStore::GetNodeParent(uint64_t node, uint64_t& parent) {
    if (Status checked = CheckNode(node); checked != Status::kOk) {
        return checked;
    }
    PinnedPage page(pool_, node, "Data format error -- GetNodeParent");
    parent = page->ReadNode().parent;
    return Status::kOk;
}

bool TreeStore::AppendSubNode(uint64_t parent, uint64_t& new_page, const std::string& name) {
    if (!TreeOpen() || parent == 0) {
        return false;
    }
    const char* where = "Add data failed -- AppendSubNode";
    PinnedPage parent_page(pool_, parent, where);
    NodeRecord parent_record = parent_page->ReadNode();
    std::unique_ptr<PinnedPage> last;
    if (parent_record.last_child > 0) {
        last = std::make_unique<PinnedPage>(pool_, parent_record.last_child, where);
    }
    PinnedPage child(pool_, PinnedPage::NewTag{}, where);
    NodeRecord record;
    record.parent = parent;
    record.previous_sibling = parent_record.last_child;
    record.first_record = record.last_record = RecordPos{kNodeRecordSize, child.Number()};
    uint8_t bytes[kNodeRecordSize];
    record.Encode(bytes);
    if (child.page()->AddData(bytes, kNodeRecordSize) != kNodeRecordSize) {
        vell::ThrowFormatError(where);
    }
    RecordHeader header;
    header.data_length = static_cast<int32_t>(name.size() + 1);
    header.flags = kRecordStart | kRecordFirst | kRecordLast;
    header.Encode(bytes);
    if (child.page()->AddData(bytes, kRecordHeaderSize) != kRecordHeaderSize) {
        vell::ThrowFormatError("Add data failed2 -- AppendSubNode");
    }
    uint64_t last_page = 0;
    if (!AddPageData(child, reinterpret_cast<const uint8_t*>(name.c_str()),
                     static_cast<uint32_t>(name.size() + 1), last_page)) {
        vell::ThrowFormatError("Add data failed3 -- AppendSubNode");
    }
    child.ChangeHead().SetPageType(kPageTypeNode);
    record.tail_page = last_page;
    child->WriteNode(record);

    if (last) {
        NodeRecord sibling = (*last)->ReadNode();
        sibling.next_sibling = child.Number();
        (*last)->WriteNode(sibling);
    } else {
        parent_record.first_child = child.Number();
    }
    parent_record.last_child = child.Number();
    parent_page->WriteNode(parent_record);
    new_page = child.Number();
    index_.Add(NodeIndexCache::Kind::kChildren, parent, name, RecordPos{0, new_page});
    return true;
}

bool TreeStore::GetSubNodeIndex(uint64_t parent, const std::string& name, uint64_t& child) {
    if (!TreeOpen() || parent == 0) {
        return false;
    }
    std::optional<RecordPos> indexed =
        index_.Find(NodeIndexCache::Kind::kChildren, parent, name,
                    [&](NodeIndexCache::Table& table) { return ReadChildTable(parent, table); });
    if (indexed) {
        child = indexed->page;
        return indexed->page != 0;
    }
    return WalkChildren(parent, "Data format error -- GetSubNodeIndex",
                        [&](uint64_t current, std::string& child_name) {
                            if (child_name != name) {
                                return true;
                            }
                            child = current;
                            return false;
                        }) == ChildWalk::kStopped;
}

// The node's children by name; false (not to be indexed) when a name cannot be read or
// appears twice.
bool TreeStore::ReadChildTable(uint64_t node, NodeIndexCache::Table& table) {
    return WalkChildren(node, "Data format error -- GetSubNodeIndex",
                        [&](uint64_t current, std::string& name) {
                            return table.try_emplace(std::move(name), RecordPos{0, current}).second;
                        }) == ChildWalk::kAll;
}

// Visits the node's children in stored order, each with its name, until visit returns false.
TreeStore::ChildWalk TreeStore::WalkChildren(
    uint64_t node, const char* where,
    const std::function<bool(uint64_t child, std::string& name)>& visit) {
    uint64_t current = 0;
    {
        PinnedPage page(pool_, node, where);
        current = page->ReadNode().first_child;
    }
    for (uint64_t walked = 0; current > 0; ++walked) {
        if (walked > pool_->PageCount()) {
            return ChildWalk::kTooLong;
        }
        PinnedPage page(pool_, current, where);
        std::string name;
        if (ReadName(page, name) != Status::kOk) {
            return ChildWalk::kUnreadable;
        }
        if (!visit(current, name)) {
            return ChildWalk::kStopped;
        }
        current = page->ReadNode().next_sibling;
    }
    return ChildWalk::kAll;
}

bool TreeStore::GetSubNodes(uint64_t node,
                            std::vector<std::pair<uint64_t, std::string>>& children) {
    if (!TreeOpen() || node == 0) {
        return false;
    }
    if (index_.ListChildren(node, children)) {
        return true;
    }
    // A name that cannot be read, or a loop, ends the list there.
    std::vector<std::pair<uint64_t, std::string>> walked;
    const ChildWalk walk = WalkChildren(node, "Data format error -- GetSubNodes",
                                        [&](uint64_t child, std::string& name) {
                                            walked.emplace_back(child, name);
                                            return true;
                                        });
    // Kept for keys whose walk costs many pages; a few pages are walked faster than the list
    // is kept.
    constexpr size_t kKeptListMin = 64;
    if (walk == ChildWalk::kAll && walked.size() >= kKeptListMin) {
        index_.KeepChildren(node, walked);
    }
    children.insert(children.end(), std::make_move_iterator(walked.begin()),
                    std::make_move_iterator(walked.end()));
    return true;
}

Status TreeStore::GetSubNodeNames(vell::ReadWriteLock* key_lock, uint64_t node,
                                  vell::MemCache& block, uint32_t& length) {
    if (key_lock == nullptr) {
        return Status::kNoMainKey;
    }
    vell::ReadGuard lock(*key_lock);
    if (Status checked = CheckNode(node); checked != Status::kOk) {
        return checked;
    }
    std::vector<std::pair<uint64_t, std::string>> children;
    GetSubNodes(node, children);
    uint64_t total = 8;
    for (auto& child : children) {
        total += child.second.size() + 1;
    }
    if (total > vell::MemCache::kMaxSize || !block.Allocate(static_cast<uint32_t>(total))) {
        vell::ThrowMemoryError("Alloc memory failed -- GetSubNodeNames");
    }
    uint8_t* out = block.Data();
    vell::StoreU32(out, static_cast<uint32_t>(total));
    vell::StoreU32(out + 4, static_cast<uint32_t>(children.size()));
    size_t at = 8;
    for (auto& child : children) {
        std::memcpy(out + at, child.second.c_str(), child.second.size() + 1);
        at += child.second.size() + 1;
    }
    length = static_cast<uint32_t>(total);
    return Status::kOk;
}

Status TreeStore::EditNodeName(uint64_t node, const std::string& name) {
    if (Status checked = CheckNode(node); checked != Status::kOk) {
        return checked;
    }
    if (name.empty()) {
        return Status::kEmptyName;
    }
    const char* where = "Data format error treenode no first record -- EditNodeName";
    RecordPos first;
    RecordPos after_first;
    std::string old_name;
    uint64_t parent = 0;
    {
        PinnedPage page(pool_, node, where);
        first = page->ReadNode().first_record;
        parent = page->ReadNode().parent;
        if (first.page != 0 && ReadName(page, old_name) != Status::kOk) {
            old_name.clear();
        }
        if (first.page == 0) {
            vell::ThrowFormatError(where);
        }
        PinnedPage record_page(pool_, first.page, where);
        after_first = record_page->ReadHeader(first.offset).next;
    }
    const uint8_t* data = reinterpret_cast<const uint8_t*>(name.c_str());
    const uint32_t length = static_cast<uint32_t>(name.size() + 1);
    RecordPos inserted;
    Status result = after_first.page != 0
                        ? InsertRecordAt(node, after_first, data, length, inserted)
                        : (AppendNodeRecord(node, data, length) ? Status::kOk : Status::kFailed);
    if (result == Status::kOk) {
        result = DeleteRecordAt(node, first);
    }
    // The name record moved; the properties' positions did not, but an appended name record
    // may have been taken for a property.
    index_.Drop(NodeIndexCache::Kind::kProperties, node);
    if (parent > 0) {
        index_.Remove(NodeIndexCache::Kind::kChildren, parent, old_name, RecordPos{0, node});
        if (result == Status::kOk) {
            index_.Add(NodeIndexCache::Kind::kChildren, parent, name, RecordPos{0, node});
        } else {
            index_.Drop(NodeIndexCache::Kind::kChildren, parent);
        }
    }
    return result;
}

Status TreeStore::NextSubNodeName(vell::ReadWriteLock* key_lock, uint64_t key_node, uint64_t node,
                                  std::string& name) {
    if (Status checked = CheckNode(node); checked != Status::kOk) {
        return checked;
    }
    if (key_lock == nullptr) {
        return Status::kNoMainKey;
    }
    vell::WriteGuard lock(*key_lock);
    std::string text;
    if (node != key_node) {
        Status result = GetNodeName(node, text);
        if (result != Status::kOk) {
            return result;
        }
    }
    PinnedPage page(pool_, node, "Data format error -- NextSubNodeName");
    NodeRecord record = page->ReadNode();
    if (record.sub_node_counter >= 0x7FFFFFFFu) {
        vell::WriteLogf("Node index over maxint32,Current index:%d",
                        static_cast<int>(record.sub_node_counter));
        record.sub_node_counter = 0;
    }
    if (node != key_node) {
        text += ".";
    }
    record.sub_node_counter += 1;
    text += std::to_string(record.sub_node_counter);
    if (text.size() >= 256) {
        record.Encode(page->ChangeArea());  // undone with the failed call
        return Status::kNameTooLong;
    }
    page->WriteNode(record);
    name = text;
    return Status::kOk;
}

// Takes a node out of its parent's list of children and writes every page that changed,
// so that nothing on disk still leads to the node once its pages are freed.
void TreeStore::UnlinkFromParent(PinnedPage& node, const NodeRecord& record) {
    (void)node;
    const char* where = "Data format error -- DeleteNode";
    PinnedPage parent(pool_, record.parent, where);
    NodeRecord parent_record = parent->ReadNode();
    std::unique_ptr<PinnedPage> previous;
    std::unique_ptr<PinnedPage> next;
    if (record.previous_sibling > 0) {
        previous = std::make_unique<PinnedPage>(pool_, record.previous_sibling, where);
        NodeRecord sibling = (*previous)->ReadNode();
        sibling.next_sibling = record.next_sibling;
        if (record.next_sibling == 0) {
            parent_record.last_child = record.previous_sibling;
        }
        (*previous)->WriteNode(sibling);
    } else {
        parent_record.first_child = record.next_sibling;
        if (record.next_sibling == 0) {
            parent_record.last_child = 0;
        }
    }
    if (record.next_sibling > 0) {
        next = std::make_unique<PinnedPage>(pool_, record.next_sibling, where);
        NodeRecord sibling = (*next)->ReadNode();
        sibling.previous_sibling = record.previous_sibling;
        (*next)->WriteNode(sibling);
    }
    parent->WriteNode(parent_record);
}

Status TreeStore::DeleteNode(uint64_t node) {
    if (Status checked = CheckNode(node); checked != Status::kOk) {
        return checked;
    }
    PinnedPage page(pool_, node, "Data format error -- DeleteNode");
    NodeRecord record = page->ReadNode();
    if (record.first_record.page == 0) {
        vell::ThrowFormatError("Tree node name is empty -- DeleteNode");
    }
    if (record.parent > 0) {
        std::string name;
        if (ReadName(page, name) == Status::kOk) {
            index_.Remove(NodeIndexCache::Kind::kChildren, record.parent, name, RecordPos{0, node});
        } else {
            index_.Drop(NodeIndexCache::Kind::kChildren, record.parent);
        }
    }
    // Unlinked first: a crash from here on leaves an unreachable subtree (leaked pages),
    // never a reachable node whose pages are already free.
    if (record.parent > 0) {
        UnlinkFromParent(page, record);
    }
    uint64_t child = record.first_child;
    for (uint64_t walked = 0; child > 0; ++walked) {
        if (walked > pool_->PageCount()) {
            vell::ThrowFormatError("Delete node failed -- DeleteNode");
        }
        uint64_t next = 0;
        {
            PinnedPage child_page(pool_, child, "Data format error -- DeleteNode");
            next = child_page->ReadNode().next_sibling;
        }
        if (DeleteNode(child) != Status::kOk) {
            vell::ThrowFormatError("Delete node failed -- DeleteNode");
        }
        child = next;
    }
    RecordPos position = page->ReadNode().first_record;
    for (uint64_t walked = 0; position.page != 0; ++walked) {
        if (walked > WalkBound(pool_->PageCount())) {
            vell::ThrowFormatError("Data format error -- DeleteNode");
        }
        RecordPos next;
        {
            PinnedPage record_page(pool_, position.page, "Data format error -- DeleteNode");
            next = record_page->ReadHeader(position.offset).next;
        }
        Status result = DeleteRecordAt(node, position);
        if (result != Status::kOk) {
            index_.DropNode(node);
            return result;
        }
        position = next;
    }
    index_.DropNode(node);
    page.handle().SetFree(true);
    return Status::kOk;
}

}  // namespace brindle
