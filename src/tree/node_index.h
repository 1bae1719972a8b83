#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tree/tree_records.h"
#include "vell/striped_shared_mutex.h"

namespace brindle {

// In-memory indexes over the tree's format, so that a lookup by name does not walk a node's
// children or records: per node, child name -> child node, and property name -> record
// position. They are caches, never a source of truth: an index is built from the pages the
// first time its node is searched, kept in step by every change of the node, dropped with the
// node, and the whole cache is dropped when a write transaction rolls back.
//
// A node whose children (or properties) hold one name twice is never indexed: a lookup must
// find the first in stored order, and keeping that right through deletions is not worth it
// for a shape only damaged or hand-made data has. Such nodes are searched by walking.
//
// Memory: at most `max_entries` names are held (about 100 bytes each, with the tables'
// overhead); when a new index would pass that, the cache is emptied first.
//
// Thread safety: any thread; lookups share a lock, changes take it alone. Callers hold the
// tree's locks as for the pages the index describes, so an index is never built from pages
// another thread is changing.
class NodeIndexCache {
public:
    enum class Kind { kChildren, kProperties };
    // Names to positions: a child's node page (offset 0), or a property record's position.
    using Table = std::unordered_map<std::string, RecordPos>;
    // Fills `table` from the format; false when a name appears twice.
    using Builder = std::function<bool(Table& table)>;

    explicit NodeIndexCache(size_t max_entries = 1u << 20) : max_entries_(max_entries) {}

    // The position of `name` below `node`, through the index, which is built with `build`
    // when missing. Empty optional: the node cannot be indexed, walk instead. A position
    // with page 0: no such name.
    std::optional<RecordPos> Find(Kind kind, uint64_t node, const std::string& name,
                                  const Builder& build);

    // Keeps a built index in step. Add keeps an existing entry (the first of a name wins);
    // Remove takes the entry only when it names `position`.
    void Add(Kind kind, uint64_t node, const std::string& name, RecordPos position);
    void Remove(Kind kind, uint64_t node, const std::string& name, RecordPos position);
    void Set(Kind kind, uint64_t node, const std::string& name, RecordPos position);
    // Forgets one index of the node (it will be built again when needed).
    void Drop(Kind kind, uint64_t node);
    // Forgets both indexes of a node, and that it could not be indexed.
    void DropNode(uint64_t node);
    void Clear();

    // Every index held, for checks against the format.
    void ForEach(const std::function<void(Kind, uint64_t, const Table&)>& visit) const;
    size_t EntryCount() const;

private:
    struct Key {
        uint64_t node;
        Kind kind;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& key) const {
            return std::hash<uint64_t>()(key.node * 2 + (key.kind == Kind::kChildren ? 0 : 1));
        }
    };

    mutable vell::StripedSharedMutex lock_;
    std::unordered_map<Key, Table, KeyHash> tables_;
    std::unordered_set<Key, KeyHash> unindexable_;
    size_t entries_ = 0;
    size_t max_entries_;
};

}  // namespace brindle
