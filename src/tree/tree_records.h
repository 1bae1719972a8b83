#pragma once

#include <cstdint>

#include "pool/page.h"

namespace brindle {

// Page types the tree store gives its pages.
inline constexpr uint32_t kPageTypeQueue = 1;
inline constexpr uint32_t kPageTypeNode = 5;
inline constexpr uint32_t kPageTypeContinuation = 9;

// TreeFlags bit of the pool head: the pool holds a common tree.
inline constexpr uint32_t kCommonTreePresent = 0x10;
// QueueEntry kind of the common tree; 0 after the tree was deleted.
inline constexpr uint8_t kQueueKindCommonTree = 2;

// Record flags.
inline constexpr uint32_t kRecordDeleted = 0x1;
inline constexpr uint32_t kRecordFirst = 0x2;
inline constexpr uint32_t kRecordLast = 0x4;
inline constexpr uint32_t kRecordStart = 0x10;

inline constexpr uint32_t kRecordPosSize = 16;
inline constexpr uint32_t kQueueEntrySize = 16;
// A page holds fewer than this many records or links, so a chain walked for longer than this
// many steps per page of the pool loops.
inline constexpr uint64_t kMaxLinksPerPage = 64;
inline uint64_t WalkBound(uint64_t page_count) {
    return page_count * kMaxLinksPerPage;
}
inline constexpr uint32_t kTreeDescriptorSize = 32;
inline constexpr uint32_t kNodeRecordSize = 88;
inline constexpr uint32_t kRecordHeaderSize = 40;

// Position of a record: the offset of its header in the data area of a page.
struct RecordPos {
    uint32_t offset = 0;
    uint64_t page = 0;  // 0: no record

    bool operator==(const RecordPos&) const = default;
    void Encode(uint8_t* out) const;
    static RecordPos Decode(const uint8_t* in);
};

struct QueueEntry {
    uint8_t kind = 0;
    uint32_t descriptor_offset = 0;
    uint64_t next_queue_page = 0;

    void Encode(uint8_t* out) const;
    static QueueEntry Decode(const uint8_t* in);
};

struct TreeDescriptor {
    uint32_t length = kTreeDescriptorSize;
    uint32_t version = 1;
    RecordPos own_position;
    uint64_t root_page = 0;

    void Encode(uint8_t* out) const;
    static TreeDescriptor Decode(const uint8_t* in);
};

// The first 88 bytes of a node page's data area.
struct NodeRecord {
    uint64_t parent = 0;
    uint64_t first_child = 0;
    uint64_t last_child = 0;
    uint64_t next_sibling = 0;
    uint64_t previous_sibling = 0;
    uint64_t tail_page = 0;
    RecordPos first_record;
    RecordPos last_record;
    uint32_t sub_node_counter = 0;

    void Encode(uint8_t* out) const;
    static NodeRecord Decode(const uint8_t* in);
};

// The 40-byte header in front of every record's data.
struct RecordHeader {
    RecordPos next;
    RecordPos previous;
    int32_t data_length = 0;
    uint32_t flags = 0;

    bool Has(uint32_t flag) const { return (flags & flag) != 0; }
    void Encode(uint8_t* out) const;
    static RecordHeader Decode(const uint8_t* in);
};

// Checked access to the data area of a pinned tree page. Every offset is checked against the
// page before bytes are touched; a page whose head cannot be trusted, or an offset that runs
// past the page, throws the format error named by `where`.
class TreePage {
public:
    TreePage(Page* page, const char* where);

    Page* page() const { return page_; }
    // The data area, for reading.
    const uint8_t* Area() const { return page_->Data() + area_offset_; }
    // The data area, for changing: the page becomes part of the running write transaction.
    uint8_t* ChangeArea() { return page_->ChangeData() + area_offset_; }
    // Bytes of the data area (page size minus data offset).
    uint32_t AreaSize() const { return area_size_; }
    uint32_t DataLen() const { return page_->Head().DataLen(); }
    uint32_t Room() const { return area_size_ - DataLen(); }

    NodeRecord ReadNode() const;
    void WriteNode(const NodeRecord& node);
    RecordHeader ReadHeader(uint32_t offset) const;
    void WriteHeader(uint32_t offset, const RecordHeader& header);

private:
    void Require(uint64_t offset, uint64_t length) const;

    Page* page_;
    const char* where_;
    uint32_t area_offset_;
    uint32_t area_size_;
};

}  // namespace brindle
