#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
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
// Memory: at most `max_entries` names are held (about 110 bytes each, with the tables'
// overhead); when a new index would pass that, the cache is emptied first. Property records
// of up to kMaxHeldRecord bytes are kept beside their positions once read, up to
// `max_record_bytes` in all, so that a read of a property seen before touches no page.
//
// Thread safety: any thread; lookups share a lock, changes take it alone. Callers hold the
// tree's locks as for the pages the index describes, so an index is never built from pages
// another thread is changing.
class NodeIndexCache {
public:
    enum class Kind { kChildren, kProperties };
    // What an index holds of a name: a child's node page (offset 0), or a property record's
    // position and, once a read has fetched it, a copy of the record's bytes (a 32-bit length,
    // then the bytes). A record never changes where it lies: a changed property is written as
    // a new record elsewhere and its entry set anew, which drops the copy.
    struct Entry {
        RecordPos position;
        std::unique_ptr<uint8_t[]> record;

        Entry() = default;
        explicit Entry(RecordPos at) : position(at) {}
    };
    using Table = std::unordered_map<std::string, Entry>;
    // A buffer that Find copies a held record into.
    struct RecordCopy {
        uint8_t* buffer = nullptr;
        uint32_t capacity = 0;
        bool held = false;    // the entry held the record: `length` is its length
        uint32_t length = 0;  // copied when it fits `capacity`
    };
    // Records longer than this are read from the pages each time.
    static constexpr uint32_t kMaxHeldRecord = 512;
    // Fills `table` from the format; false when a name appears twice.
    using Builder = std::function<bool(Table& table)>;

    explicit NodeIndexCache(size_t max_entries = 1u << 20, size_t max_record_bytes = 32u << 20)
        : max_entries_(max_entries), max_record_bytes_(max_record_bytes) {}

    // The position of `name` below `node`, through the index, which is built with `build`
    // when missing. Empty optional: the node cannot be indexed, walk instead. A position
    // with page 0: no such name. With `copy`, a record the entry holds is copied out too.
    std::optional<RecordPos> Find(Kind kind, uint64_t node, const std::string& name,
                                  const Builder& build, RecordCopy* copy = nullptr);
    // Keeps a copy of the property record read at `position`, when the index of `node`
    // still names it there and the copies stay within their budget.
    void HoldRecord(uint64_t node, const std::string& name, RecordPos position,
                    const uint8_t* record, uint32_t length);

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

    // A node's children in stored order, as a walk lists them: `children` gets them when the
    // node's index knows their order (true), else stays as it was (false: walk, then hand the
    // walk's whole list to KeepChildren). Children are only ever appended, so the order is
    // kept in step by additions; a child removed or renamed makes it unknown again.
    bool ListChildren(uint64_t node, std::vector<std::pair<uint64_t, std::string>>& children) const;
    // Keeps the list of a whole walk of the node's children, while the node's children index
    // exists (it is made by the first lookup; a listing alone does not make it).
    void KeepChildren(uint64_t node, const std::vector<std::pair<uint64_t, std::string>>& children);

    // From now on, remembers the pages each index was built from (and those of entries added
    // since), so that DropPages can forget only what other processes changed. Costs memory
    // per page; only processes that take in other processes' commits need it.
    void TrackPages();
    // Forgets every index built from or kept in step with any of `pages`, and which nodes
    // could not be indexed; raises the children generation.
    void DropPages(const std::vector<uint64_t>& pages);

    // Every index held, for checks against the format.
    void ForEach(const std::function<void(Kind, uint64_t, const Table&)>& visit) const;
    size_t EntryCount() const;
    // The bytes of the records held (their copies, without the tables' overhead).
    size_t HeldRecordBytes() const;
    // Raised whenever a child's name may have stopped naming the node it named: a child
    // removed or renamed, an index of children dropped, everything cleared (a rollback, other
    // processes' commits). Caches of lookups through children (paths) are valid while it
    // stays the same; adding a child never changes what an existing name names.
    uint64_t ChildrenGeneration() const {
        return children_generation_.load(std::memory_order_acquire);
    }

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

    static uint32_t HeldLength(const Entry& entry);
    // Drops the entry's record copy from the count (the caller drops the entry or the copy).
    void ForgetRecord(const Entry& entry);
    void EraseTable(std::unordered_map<Key, Table, KeyHash>::iterator table);
    void ChildrenChanged(Kind kind);
    Table* TableChangedInPlace(Kind kind, uint64_t node);
    // Records that the index `key` depends on `page` (tracking only).
    void Depend(const Key& key, uint64_t page);
    void ForgetAll();

    mutable vell::StripedSharedMutex lock_;
    std::unordered_map<Key, Table, KeyHash> tables_;
    std::unordered_set<Key, KeyHash> unindexable_;
    size_t entries_ = 0;
    size_t max_entries_;
    size_t record_bytes_ = 0;
    size_t max_record_bytes_;
    std::atomic<uint64_t> children_generation_{1};
    bool tracking_ = false;
    std::unordered_map<uint64_t, std::vector<Key>> dependents_;  // page -> indexes built on it
    std::unordered_map<Key, std::unordered_set<uint64_t>, KeyHash> pages_of_;  // index -> pages
    // Children indexes whose stored order is known: their children in that order.
    std::unordered_map<uint64_t, std::vector<std::pair<uint64_t, std::string>>> child_order_;
};

}  // namespace brindle
