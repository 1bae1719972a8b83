#pragma once

#include <cstdint>
#include <string>

#include "keys/common_tree.h"
#include "keys/main_key_info.h"
#include "vell/mem_cache.h"

namespace brindle {

// Record bytes start here in a property work buffer, so that a single record and a list of
// records share one layout.
inline constexpr uint32_t kPropertyRecordOffset = 16;

// The key layer's side of the key and property operations of a key handle: each takes the
// handle's main key's lock (for reading or writing as the operation reads or changes) and
// calls the tree store on the handle's node. Results are BRN_ codes; tree-store codes pass
// unchanged. A handle without a node (0) or whose main key was deleted gets 5. Read-only
// checks are the caller's, except RenameKey's. MDException from the tree store passes, with
// the lock released.
class KeyOperations {
public:
    KeyOperations(CommonTree& database, MainKeyInfo* record, uint64_t node)
        : database_(database), record_(record), node_(node) {}

    // --- sub keys ---
    // Names of the node's children: 32-bit total length, 32-bit count, then each name with
    // its NUL, in stored order. 102 without a main-key record.
    int GetSubKeyNames(vell::MemCache& block, uint32_t& length);
    // Appends a child named `name`; an empty name asks for a generated one, which is
    // written to `name` on success. 16 when a child of that name exists.
    int AppendSubKey(std::string& name);
    // Renames the node (51 when the main key is read-only). On a main key's own node only
    // the stored name changes: the table keeps the old name until the database reopens.
    int RenameKey(const std::string& new_name);
    // Deletes the node with its subtree and properties. A main key's own node takes the
    // main key out of the table too (54 when the configuration forbids it).
    int DeleteKey();

    // --- properties ---
    // Reads the property record of that name into buffer from byte 16; `length` becomes
    // the record's length + 16. 7 when there is none.
    int GetNodeProperty(const std::string& name, vell::MemCache& buffer, uint32_t& length);
    // Every property record of the node in the listing form (area from byte 16: length,
    // count, then per record its length and bytes); `length` is the block's total.
    int GetNodeProperties(vell::MemCache& buffer, uint32_t& length);
    // Appends the encoded property record; 19 when a property of that name exists.
    int AppendProperty(const std::string& name, const uint8_t* record, uint32_t length);
    // Replaces the named property's record in its place; 7 when there is none.
    int EditProperty(const std::string& name, const uint8_t* record, uint32_t length);
    // 7 when there is no property of that name.
    int DeleteProperty(const std::string& name);

private:
    // A result other than BRN_OK when the handle names no live node.
    int CheckNode() const;
    template <typename Guard, typename Body>
    int WithNode(Body&& body);
    template <typename Body>
    int WithNodeForChange(Body&& body);

    CommonTree& database_;
    MainKeyInfo* record_;
    uint64_t node_;
};

}  // namespace brindle
