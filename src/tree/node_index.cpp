#include "tree/node_index.h"

#include <algorithm>
#include <cstring>

#include "pool/page_read_recorder.h"
#include "vell/endian.h"

namespace brindle {

namespace {

// Looks `name` up in `table`: its position, and its record copied into `copy` when held.
RecordPos Lookup(const NodeIndexCache::Table& table, const std::string& name,
                 NodeIndexCache::RecordCopy* copy) {
    auto found = table.find(name);
    if (found == table.end()) {
        return RecordPos{};
    }
    const NodeIndexCache::Entry& entry = found->second;
    if (copy != nullptr && entry.record) {
        copy->held = true;
        copy->length = vell::LoadU32(entry.record.get());
        if (copy->buffer != nullptr && copy->length <= copy->capacity) {
            std::memcpy(copy->buffer, entry.record.get() + 4, copy->length);
        }
    }
    return entry.position;
}

}  // namespace

std::optional<RecordPos> NodeIndexCache::Find(Kind kind, uint64_t node, const std::string& name,
                                              const Builder& build, RecordCopy* copy) {
    const Key key{node, kind};
    {
        std::shared_lock<vell::StripedSharedMutex> shared(lock_);
        auto table = tables_.find(key);
        if (table != tables_.end()) {
            return Lookup(table->second, name, copy);
        }
        if (unindexable_.count(key) != 0) {
            return std::nullopt;
        }
    }
    Table built;
    std::vector<uint64_t> pages;
    bool indexable = false;
    if (tracking_) {  // set before any lookup, and never changed after
        PageReadRecorder recorder(&pages);
        indexable = build(built);
    } else {
        indexable = build(built);
    }
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    if (!indexable) {
        unindexable_.insert(key);
        return std::nullopt;
    }
    if (entries_ + built.size() > max_entries_) {
        ForgetAll();
    }
    auto [table, inserted] = tables_.emplace(key, std::move(built));
    if (inserted) {
        entries_ += table->second.size();
        if (tracking_) {
            Depend(key, node);
            for (uint64_t page : pages) {
                Depend(key, page);
            }
        }
    }
    return Lookup(table->second, name, copy);
}

void NodeIndexCache::HoldRecord(uint64_t node, const std::string& name, RecordPos position,
                                const uint8_t* record, uint32_t length) {
    if (length > kMaxHeldRecord) {
        return;
    }
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    auto table = tables_.find(Key{node, Kind::kProperties});
    if (table == tables_.end() || record_bytes_ + length > max_record_bytes_) {
        return;
    }
    auto found = table->second.find(name);
    if (found == table->second.end() || !(found->second.position == position) ||
        found->second.record) {
        return;
    }
    auto held = std::make_unique<uint8_t[]>(uint64_t{length} + 4);
    vell::StoreU32(held.get(), length);
    std::memcpy(held.get() + 4, record, length);
    found->second.record = std::move(held);
    record_bytes_ += length;
}

uint32_t NodeIndexCache::HeldLength(const Entry& entry) {
    return entry.record ? vell::LoadU32(entry.record.get()) : 0;
}

void NodeIndexCache::ForgetRecord(const Entry& entry) {
    record_bytes_ -= HeldLength(entry);
}

void NodeIndexCache::EraseTable(std::unordered_map<Key, Table, KeyHash>::iterator table) {
    for (const auto& [name, entry] : table->second) {
        ForgetRecord(entry);
    }
    entries_ -= table->second.size();
    if (auto pages = pages_of_.find(table->first); pages != pages_of_.end()) {
        for (uint64_t page : pages->second) {
            auto dependents = dependents_.find(page);
            if (dependents == dependents_.end()) {
                continue;
            }
            std::erase(dependents->second, table->first);
            if (dependents->second.empty()) {
                dependents_.erase(dependents);
            }
        }
        pages_of_.erase(pages);
    }
    if (table->first.kind == Kind::kChildren) {
        child_order_.erase(table->first.node);
    }
    tables_.erase(table);
}

void NodeIndexCache::Depend(const Key& key, uint64_t page) {
    if (pages_of_[key].insert(page).second) {
        dependents_[page].push_back(key);
    }
}

void NodeIndexCache::ForgetAll() {
    child_order_.clear();
    tables_.clear();
    dependents_.clear();
    pages_of_.clear();
    entries_ = 0;
    record_bytes_ = 0;
}

bool NodeIndexCache::ListChildren(uint64_t node,
                                  std::vector<std::pair<uint64_t, std::string>>& children) const {
    std::shared_lock<vell::StripedSharedMutex> shared(lock_);
    auto order = child_order_.find(node);
    if (order == child_order_.end()) {
        return false;
    }
    children.insert(children.end(), order->second.begin(), order->second.end());
    return true;
}

void NodeIndexCache::KeepChildren(uint64_t node,
                                  const std::vector<std::pair<uint64_t, std::string>>& children) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    auto table = tables_.find(Key{node, Kind::kChildren});
    // The walk and the index describe the same pages (the caller holds the key's lock); a
    // count that differs would be a fault, and then no order is kept.
    if (table != tables_.end() && table->second.size() == children.size()) {
        child_order_[node] = children;
    }
}

void NodeIndexCache::TrackPages() {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    ForgetAll();  // indexes built before would depend on pages nobody recorded
    tracking_ = true;
}

void NodeIndexCache::DropPages(const std::vector<uint64_t>& pages) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    ChildrenChanged(Kind::kChildren);
    unindexable_.clear();
    if (!tracking_) {
        ForgetAll();
        return;
    }
    for (uint64_t page : pages) {
        auto dependents = dependents_.find(page);
        if (dependents == dependents_.end()) {
            continue;
        }
        const std::vector<Key> keys = dependents->second;
        for (const Key& key : keys) {
            if (auto table = tables_.find(key); table != tables_.end()) {
                EraseTable(table);
            }
        }
    }
}

void NodeIndexCache::ChildrenChanged(Kind kind) {
    if (kind == Kind::kChildren) {
        children_generation_.fetch_add(1, std::memory_order_acq_rel);
    }
}

void NodeIndexCache::Add(Kind kind, uint64_t node, const std::string& name, RecordPos position) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    auto table = tables_.find(Key{node, kind});
    if (table == tables_.end()) {
        return;
    }
    if (auto [added, inserted] = table->second.emplace(name, Entry(position)); inserted) {
        ++entries_;
        if (auto order = child_order_.find(node);
            kind == Kind::kChildren && order != child_order_.end()) {
            order->second.emplace_back(position.page, name);  // a new child is the last one
        }

        if (tracking_) {
            Depend(table->first, position.page);
        }
    } else {
        // A second child or property of this name: the node is no longer indexable.
        EraseTable(table);
        unindexable_.insert(Key{node, kind});
    }
}

// An entry of the node's index is about to be removed or set anew: a name may stop naming
// what it named, and a kept listing of children no longer holds. The index, if there is one.
NodeIndexCache::Table* NodeIndexCache::TableChangedInPlace(Kind kind, uint64_t node) {
    ChildrenChanged(kind);
    if (kind == Kind::kChildren) {
        child_order_.erase(node);
    }
    auto table = tables_.find(Key{node, kind});
    return table == tables_.end() ? nullptr : &table->second;
}

void NodeIndexCache::Remove(Kind kind, uint64_t node, const std::string& name, RecordPos position) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    Table* table = TableChangedInPlace(kind, node);
    if (table == nullptr) {
        return;
    }
    auto found = table->find(name);
    if (found != table->end() && found->second.position == position) {
        ForgetRecord(found->second);
        table->erase(found);
        --entries_;
    }
}

void NodeIndexCache::Set(Kind kind, uint64_t node, const std::string& name, RecordPos position) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    Table* table = TableChangedInPlace(kind, node);
    if (table == nullptr) {
        return;
    }
    auto [entry, inserted] = table->try_emplace(name, position);
    if (!inserted) {
        ForgetRecord(entry->second);
        entry->second = Entry(position);
    }
    entries_ += inserted ? 1 : 0;
    if (tracking_) {
        Depend(Key{node, kind}, position.page);
    }
}

void NodeIndexCache::Drop(Kind kind, uint64_t node) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    ChildrenChanged(kind);
    auto table = tables_.find(Key{node, kind});
    if (table != tables_.end()) {
        EraseTable(table);
    }
}

void NodeIndexCache::DropNode(uint64_t node) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    ChildrenChanged(Kind::kChildren);
    for (Kind kind : {Kind::kChildren, Kind::kProperties}) {
        auto table = tables_.find(Key{node, kind});
        if (table != tables_.end()) {
            EraseTable(table);
        }
        unindexable_.erase(Key{node, kind});
    }
}

void NodeIndexCache::Clear() {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    ChildrenChanged(Kind::kChildren);
    ForgetAll();
    unindexable_.clear();
}

void NodeIndexCache::ForEach(const std::function<void(Kind, uint64_t, const Table&)>& visit) const {
    std::shared_lock<vell::StripedSharedMutex> shared(lock_);
    for (const auto& [key, table] : tables_) {
        visit(key.kind, key.node, table);
    }
}

size_t NodeIndexCache::EntryCount() const {
    std::shared_lock<vell::StripedSharedMutex> shared(lock_);
    return entries_;
}

size_t NodeIndexCache::HeldRecordBytes() const {
    std::shared_lock<vell::StripedSharedMutex> shared(lock_);
    return record_bytes_;
}

}  // namespace brindle
