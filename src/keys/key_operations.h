#pragma once

#include <cstdint>
#include <string>

#include "brindle_watch.h"
#include "keys/common_tree.h"
#include "keys/main_key_info.h"
#include "vell/mem_cache.h"

namespace brindle {

class WriteTransaction;

// Record bytes start here in a property work buffer, so that a single record and a list of
// records share one layout.
inline constexpr uint32_t kPropertyRecordOffset = 16;

// The key layer's side of the key and property operations of a key handle: each takes the
// handle's main key's lock (for reading or writing as the operation reads or changes) and
// calls the tree store on the handle's node. Tree-store outcomes pass unchanged. A handle
// without a node (0) or whose main key was deleted gets kBadNode. Read-only
// checks are the caller's, except RenameKey's. MDException from the tree store passes, with
// the lock released.
class KeyOperations {
public:
    KeyOperations(CommonTree& database, MainKeyInfo* record, uint64_t node)
        : database_(database), record_(record), node_(node) {}

    // --- sub keys ---
    // Names of the node's children: 32-bit total length, 32-bit count, then each name with
    // its NUL, in stored order. kNoMainKey without a main-key record.
    Status GetSubKeyNames(vell::MemCache& block, uint32_t& length);
    // Appends a child named `name`; an empty name asks for a generated one, which is
    // written to `name` on success. kKeyExists when a child of that name exists.
    Status AppendSubKey(std::string& name);
    // Renames the node (kReadOnly when the main key is read-only). On a main key's own node only
    // the stored name changes: the table keeps the old name until the database reopens.
    Status RenameKey(const std::string& new_name);
    // Deletes the node with its subtree and properties. A main key's own node takes the
    // main key out of the table too (kMainKeyDeleteDenied when the configuration forbids it).
    Status DeleteKey();

    // --- properties ---
    // Reads the property record of that name into buffer from byte 16; `length` becomes
    // the record's length + 16. kPropertyNotFound when there is none.
    Status GetNodeProperty(const std::string& name, vell::MemCache& buffer, uint32_t& length);
    // Every property record of the node in the listing form (area from byte 16: length,
    // count, then per record its length and bytes); `length` is the block's total.
    Status GetNodeProperties(vell::MemCache& buffer, uint32_t& length);
    // Appends the encoded property record; kPropertyExists when a property of that name
    // exists.
    Status AppendProperty(const std::string& name, const uint8_t* record, uint32_t length);
    // Replaces the named property's record in its place; kPropertyNotFound when there is
    // none.
    Status EditProperty(const std::string& name, const uint8_t* record, uint32_t length);
    // kPropertyNotFound when there is no property of that name.
    Status DeleteProperty(const std::string& name);

private:
    // An outcome other than kOk when the handle names no live node.
    Status CheckNode() const;
    template <typename Body>
    Status WithNode(Body&& body);
    template <typename Body>
    Status WithNodeForChange(Body&& body);
    // The path of `node` below the main key's node (names joined with '\', empty for the
    // main key's own node), read by walking up its parents. The caller holds the key lock.
    std::string PathOf(uint64_t node);
    // Commits `transaction` when `result` is kOk, with the note of what the call changed
    // (at `path` below the handle's main key) added to it first.
    Status CommitNoted(WriteTransaction& transaction, Status result, ChangeKind kind,
                       std::string path, const std::string& name);

    CommonTree& database_;
    MainKeyInfo* record_;
    uint64_t node_;
};

}  // namespace brindle
