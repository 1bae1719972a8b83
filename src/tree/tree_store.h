#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pool/pager.h"
#include "tree/node_index.h"
#include "tree/status.h"
#include "tree/tree_records.h"
#include "vell/mem_cache.h"
#include "vell/read_write_lock.h"
#include "vell/variable_data.h"

namespace brindle {

class PinnedPage;

// The tree of keys laid out in the pages of a Pager: nodes (one node page each, named
// by its page number), their children, and per node a chain of records whose first is the
// node's name and the others its properties. Found through the common queue anchored in
// the pool head.
//
// Callers hold the database lock or the main key's lock around every call, for writing
// around every change. Structural faults throw MDException; argument faults return a Status.
//
// Writes are ordered so that the files are readable at every moment: a page reaches the
// disk before any page that links to it, and a page goes back to the free list only after
// every page that linked to it was written. A crash may leak pages, never leave a link to
// a freed page.
class TreeStore {
public:
    // OpenTree flags.
    static constexpr int kOpenMustExist = 1;
    static constexpr int kOpenCreate = 2;
    static constexpr int kOpenRecreate = 4;
    // Forms of GetNodeAllRecords' block.
    enum class RecordsForm { kListing24, kExport8 };

    TreeStore(Pager* pool, std::string root_name);
    ~TreeStore();
    TreeStore(const TreeStore&) = delete;
    TreeStore& operator=(const TreeStore&) = delete;

    vell::ReadWriteLock& DatabaseLock() { return database_lock_; }
    uint64_t RootPage() const { return root_page_; }
    Pager* Pool() const { return pool_; }

    // --- the tree as a whole ---
    bool OpenTree(int flags);
    bool CreateNew();
    bool DeleteTree();
    bool ResetTree();

    // --- nodes ---
    bool AppendSubNode(uint64_t parent, uint64_t& new_page, const std::string& name);
    bool GetSubNodeIndex(uint64_t parent, const std::string& name, uint64_t& child);
    bool GetSubNodes(uint64_t node, std::vector<std::pair<uint64_t, std::string>>& children);
    // Block: 32-bit total length, 32-bit count, then each name with its NUL.
    Status GetSubNodeNames(vell::ReadWriteLock* key_lock, uint64_t node, vell::MemCache& block,
                           uint32_t& length);
    Status GetNodeName(uint64_t node, std::string& name);
    // The node's parent (0 for the root).
    Status GetNodeParent(uint64_t node, uint64_t& parent);
    Status EditNodeName(uint64_t node, const std::string& name);
    // A name for a new child of node: 1, 2, ... below the main key's own node (key_node),
    // "<name>.1", "<name>.2", ... below others.
    Status NextSubNodeName(vell::ReadWriteLock* key_lock, uint64_t key_node, uint64_t node,
                           std::string& name);
    Status DeleteNode(uint64_t node);

    // --- records ---
    bool AppendNodeRecord(uint64_t node, const uint8_t* data, uint32_t length);
    Status InsertNodeRecord(uint64_t node, RecordPos before, const uint8_t* data, uint32_t length);
    // With `copy`, a record the index holds is copied out too (see NodeIndexCache::Find).
    bool FindNodeProperty(uint64_t node, const std::string& name, RecordPos& position,
                          NodeIndexCache::RecordCopy* copy = nullptr);
    Status GetNodeRecord(uint64_t node, RecordPos position, uint8_t* buffer, uint32_t& length);
    Status GetNodeAllRecords(uint64_t node, vell::MemCache& buffer, uint32_t& total,
                             RecordsForm form);
    Status DeleteNodeProperty(uint64_t node, RecordPos position);
    Status DeleteNodePropertyByName(uint64_t node, const std::string& name);
    Status ReplaceNodeProperty(uint64_t node, const std::string& name, const uint8_t* data,
                               uint32_t length);
    Status GetNodePropertyByName(uint64_t node, const std::string& name, uint8_t* buffer,
                                 uint32_t& length);
    // Replaces the named property by a record of the same name holding `value`.
    Status EditNodeProperty(uint64_t node, const std::string& name,
                            const vell::VariableData& value);

    // --- record data across pages ---
    // Appends data at the end of the held page, running on into new continuation pages.
    bool AddPageData(PinnedPage& page, const uint8_t* data, uint32_t length, uint64_t& last_page);
    bool CopyDataFromPageEx(PinnedPage& page, uint8_t* destination, uint32_t offset,
                            uint32_t length);
    bool GetPropertyKeyFromPage(PinnedPage& page, uint32_t offset, uint32_t length,
                                std::string& name);
    // Gives back the space of record data. Continuation pages left without pieces are
    // handed to `freed` (pinned, marked free on release) instead of being freed at once, so
    // that the caller can write every page that linked to them first.
    bool ClearDataSpaceEx(PinnedPage& page, uint32_t offset, uint32_t length, uint64_t& last_freed,
                          std::vector<std::unique_ptr<PinnedPage>>& freed);

    // --- the name indexes (caches of the format; see NodeIndexCache) ---
    const NodeIndexCache& Indexes() const { return index_; }
    // See NodeIndexCache::ChildrenGeneration.
    uint64_t ChildrenGeneration() const { return index_.ChildrenGeneration(); }
    // Forgets every index: after pages were changed other than through this store.
    void DropIndexes() { index_.Clear(); }
    // Compares every index held with the format; one line per difference.
    std::vector<std::string> CheckIndexes();

private:
    bool TreeOpen() const { return root_page_ > 0; }
    // kOk, or the outcome for a missing tree or a missing node.
    Status CheckNode(uint64_t node) const {
        return !TreeOpen() ? Status::kNoRoot : node == 0 ? Status::kBadNode : Status::kOk;
    }
    // CheckNode, then kPropertyNotFound for no record.
    Status CheckRecordCall(uint64_t node, RecordPos position) const {
        Status checked = CheckNode(node);
        return checked != Status::kOk ? checked
               : position.page == 0   ? Status::kPropertyNotFound
                                      : Status::kOk;
    }
    // Pins the page where the node's next record goes, taking a new continuation page when
    // the tail has no room for a header. Never chooses a page whose data runs on.
    std::unique_ptr<PinnedPage> PlaceRecord(PinnedPage& node, uint64_t& new_page);
    // Writes a new record (its header, then its data across pages) where the node's next
    // record goes, and puts it on disk before anything links to it. False, with the unwritten
    // changes dropped, when the data cannot be written.
    bool WriteNewRecord(PinnedPage& node, const RecordHeader& header, const uint8_t* data,
                        uint32_t length, const char* operation, RecordPos& position,
                        uint64_t& end_page);
    Status ReadName(PinnedPage& node, std::string& name);
    bool ReadChildTable(uint64_t node, NodeIndexCache::Table& table);
    // How a walk over a node's children ended: every child visited, stopped by the visitor,
    // at a name that cannot be read, or at a chain longer than the pool (a loop).
    enum class ChildWalk { kAll, kStopped, kUnreadable, kTooLong };
    ChildWalk WalkChildren(uint64_t node, const char* where,
                           const std::function<bool(uint64_t child, std::string& name)>& visit);
    bool ReadPropertyTable(uint64_t node, NodeIndexCache::Table& table);
    // Whether an index held for `node` names what the pages name (`actual`), and the records
    // it holds are the bytes the pages hold.
    bool SameIndex(uint64_t node, const NodeIndexCache::Table& actual,
                   const NodeIndexCache::Table& held);
    enum class RecordWalk { kChecked, kPlain };
    bool WalkPropertyRecords(
        uint64_t node, RecordWalk checks, const char* format,
        const std::function<bool(PinnedPage&, RecordPos, const RecordHeader&)>& visit);
    bool WalkToProperty(uint64_t node, const std::string& name, RecordPos& position,
                        const std::function<void(const std::string&, RecordPos)>& visit);
    // InsertNodeRecord and DeleteNodeProperty without touching the indexes.
    Status InsertRecordAt(uint64_t node, RecordPos before, const uint8_t* data, uint32_t length,
                          RecordPos& inserted);
    Status DeleteRecordAt(uint64_t node, RecordPos position);
    void UnlinkRecord(const RecordHeader& removed, bool was_last, NodeRecord& record,
                      std::vector<std::unique_ptr<PinnedPage>>& touched, const char* where);
    uint64_t TailAfterDelete(uint64_t node, RecordPos position, const RecordHeader& removed,
                             uint64_t tail_page, uint64_t last_freed, PinnedPage& record_page,
                             const char* where);
    void UnlinkFromParent(PinnedPage& node, const NodeRecord& record);

    Pager* pool_;
    std::string root_name_;
    vell::ReadWriteLock database_lock_;
    uint64_t root_page_ = 0;
    TreeDescriptor descriptor_;
    NodeIndexCache index_;
};

}  // namespace brindle
