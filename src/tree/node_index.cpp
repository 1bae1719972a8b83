#include "tree/node_index.h"

namespace brindle {

std::optional<RecordPos> NodeIndexCache::Find(Kind kind, uint64_t node, const std::string& name,
                                              const Builder& build) {
    const Key key{node, kind};
    {
        std::shared_lock<vell::StripedSharedMutex> shared(lock_);
        auto table = tables_.find(key);
        if (table != tables_.end()) {
            auto found = table->second.find(name);
            return found == table->second.end() ? RecordPos{} : found->second;
        }
        if (unindexable_.count(key) != 0) {
            return std::nullopt;
        }
    }
    Table built;
    const bool indexable = build(built);
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    if (!indexable) {
        unindexable_.insert(key);
        return std::nullopt;
    }
    if (entries_ + built.size() > max_entries_) {
        tables_.clear();
        entries_ = 0;
    }
    auto [table, inserted] = tables_.emplace(key, std::move(built));
    if (inserted) {
        entries_ += table->second.size();
    }
    auto found = table->second.find(name);
    return found == table->second.end() ? RecordPos{} : found->second;
}

void NodeIndexCache::Add(Kind kind, uint64_t node, const std::string& name, RecordPos position) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    auto table = tables_.find(Key{node, kind});
    if (table == tables_.end()) {
        return;
    }
    if (table->second.emplace(name, position).second) {
        ++entries_;
    } else {
        // A second child or property of this name: the node is no longer indexable.
        entries_ -= table->second.size();
        tables_.erase(table);
        unindexable_.insert(Key{node, kind});
    }
}

void NodeIndexCache::Remove(Kind kind, uint64_t node, const std::string& name, RecordPos position) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    auto table = tables_.find(Key{node, kind});
    if (table == tables_.end()) {
        return;
    }
    auto found = table->second.find(name);
    if (found != table->second.end() && found->second == position) {
        table->second.erase(found);
        --entries_;
    }
}

void NodeIndexCache::Set(Kind kind, uint64_t node, const std::string& name, RecordPos position) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    auto table = tables_.find(Key{node, kind});
    if (table == tables_.end()) {
        return;
    }
    auto [entry, inserted] = table->second.insert_or_assign(name, position);
    (void)entry;
    entries_ += inserted ? 1 : 0;
}

void NodeIndexCache::Drop(Kind kind, uint64_t node) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    auto table = tables_.find(Key{node, kind});
    if (table != tables_.end()) {
        entries_ -= table->second.size();
        tables_.erase(table);
    }
}

void NodeIndexCache::DropNode(uint64_t node) {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    for (Kind kind : {Kind::kChildren, Kind::kProperties}) {
        auto table = tables_.find(Key{node, kind});
        if (table != tables_.end()) {
            entries_ -= table->second.size();
            tables_.erase(table);
        }
        unindexable_.erase(Key{node, kind});
    }
}

void NodeIndexCache::Clear() {
    std::unique_lock<vell::StripedSharedMutex> exclusive(lock_);
    tables_.clear();
    unindexable_.clear();
    entries_ = 0;
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

}  // namespace brindle
