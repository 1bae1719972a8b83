#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "tree/status.h"
#include "vell/variable_data.h"

namespace brindle {

// Reading an export image that came from outside: every length and offset is checked
// against the image before a byte is read, every loop advances by at least one record or
// entry, and nesting is followed without recursion. Outcomes: kImportFormat for a record
// or block that is malformed or runs past the image, kImportHeader for a wrong header size or
// a block whose length word does not match, kException for a property that cannot be
// decoded, kNoBuffer when memory for a decoded property cannot be had.

// Checks the header words and the checksum, then reads the key path. kOk, or kImportFormat (too
// short, length word), kImportHeader (header size), kVersion, kChecksum, kImportEmptyPath.
Status CheckImageHeader(const uint8_t* image, uint64_t size, std::string& key_path);

// One node record of the record area.
struct NodeRecordView {
    uint64_t offset = 0;  // of its header in the image
    uint32_t flags = 0;
    uint32_t id = 0;
    uint32_t parent = 0;
    std::string_view name;
    const uint8_t* block = nullptr;
    uint32_t block_length = 0;
    uint64_t end = 0;  // offset of the byte after its property block
};

// Reads the root record (the first of the record area): kImportHeader for a wrong header size,
// kImportFormat when
// it is not marked as the root, has ids other than 0, or does not fit.
Status ReadRootRecord(const uint8_t* image, uint64_t size, NodeRecordView& root);

// Called for each record below the root in depth-first order, with the token the call for
// its parent handed out (the root's token for the root's children); sets the token of the
// record's own children. An outcome other than kOk stops the walk and is returned.
using RecordVisitor =
    std::function<Status(uint64_t parent_token, const NodeRecordView& record, uint64_t& token)>;

// Walks the records of the root's subtree that start right after the root record.
Status WalkChildren(const uint8_t* image, uint64_t size, const NodeRecordView& root,
                    uint64_t root_token, const RecordVisitor& visit);

// One decoded property: its stored record, as it stands in the image, and its name and
// value.
struct PropertyEntry {
    const uint8_t* record = nullptr;
    uint32_t length = 0;
    std::string name;
    vell::VariableData value;
};

// Checks a property block and decodes each of its entries in turn, handing each to `use`.
// A property must carry a name of 1 to 255 characters, as every stored property does.
Status ForEachProperty(const uint8_t* block, uint32_t length,
                       const std::function<Status(const PropertyEntry&)>& use);

// Key and property names as the stores hold them: 1 to 255 characters.
bool IsStorableName(std::string_view name);

}  // namespace brindle
