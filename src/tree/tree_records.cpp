#include "tree/tree_records.h"

#include "vell/endian.h"
#include "vell/library_errors.h"

namespace brindle {

using vell::LoadU32;
using vell::LoadU64;
using vell::StoreU32;
using vell::StoreU64;

void RecordPos::Encode(uint8_t* out) const {
    StoreU32(out, offset);
    StoreU32(out + 4, 0);
    StoreU64(out + 8, page);
}

RecordPos RecordPos::Decode(const uint8_t* in) {
    return RecordPos{LoadU32(in), LoadU64(in + 8)};
}

void QueueEntry::Encode(uint8_t* out) const {
    out[0] = kind;
    out[1] = out[2] = out[3] = 0;
    StoreU32(out + 4, descriptor_offset);
    StoreU64(out + 8, next_queue_page);
}

QueueEntry QueueEntry::Decode(const uint8_t* in) {
    QueueEntry entry;
    entry.kind = in[0];
    entry.descriptor_offset = LoadU32(in + 4);
    entry.next_queue_page = LoadU64(in + 8);
    return entry;
}

void TreeDescriptor::Encode(uint8_t* out) const {
    StoreU32(out, length);
    StoreU32(out + 4, version);
    own_position.Encode(out + 8);
    StoreU64(out + 24, root_page);
}

TreeDescriptor TreeDescriptor::Decode(const uint8_t* in) {
    TreeDescriptor descriptor;
    descriptor.length = LoadU32(in);
    descriptor.version = LoadU32(in + 4);
    descriptor.own_position = RecordPos::Decode(in + 8);
    descriptor.root_page = LoadU64(in + 24);
    return descriptor;
}

void NodeRecord::Encode(uint8_t* out) const {
    StoreU64(out + 0x00, parent);
    StoreU64(out + 0x08, first_child);
    StoreU64(out + 0x10, last_child);
    StoreU64(out + 0x18, next_sibling);
    StoreU64(out + 0x20, previous_sibling);
    StoreU64(out + 0x28, tail_page);
    first_record.Encode(out + 0x30);
    last_record.Encode(out + 0x40);
    StoreU32(out + 0x50, sub_node_counter);
    StoreU32(out + 0x54, 0);
}

NodeRecord NodeRecord::Decode(const uint8_t* in) {
    NodeRecord node;
    node.parent = LoadU64(in + 0x00);
    node.first_child = LoadU64(in + 0x08);
    node.last_child = LoadU64(in + 0x10);
    node.next_sibling = LoadU64(in + 0x18);
    node.previous_sibling = LoadU64(in + 0x20);
    node.tail_page = LoadU64(in + 0x28);
    node.first_record = RecordPos::Decode(in + 0x30);
    node.last_record = RecordPos::Decode(in + 0x40);
    node.sub_node_counter = LoadU32(in + 0x50);
    return node;
}

void RecordHeader::Encode(uint8_t* out) const {
    next.Encode(out);
    previous.Encode(out + 0x10);
    StoreU32(out + 0x20, static_cast<uint32_t>(data_length));
    StoreU32(out + 0x24, flags);
}

RecordHeader RecordHeader::Decode(const uint8_t* in) {
    RecordHeader header;
    header.next = RecordPos::Decode(in);
    header.previous = RecordPos::Decode(in + 0x10);
    header.data_length = static_cast<int32_t>(LoadU32(in + 0x20));
    header.flags = LoadU32(in + 0x24);
    return header;
}

TreePage::TreePage(Page* page, const char* where) : page_(page), where_(where) {
    if (page_ == nullptr) {
        vell::ThrowMemoryError(vell::kAllocPageBufferError);
    }
    if (page_->Data() == nullptr) {
        vell::ThrowMemoryError(vell::kAllocPageDataBufferError);
    }
    PageHeadReader head = page_->Head();
    uint32_t size = page_->BufferSize();
    if (head.PageSize() != size || head.DataOffset() < kPageHeadSize || head.DataOffset() >= size ||
        head.DataLen() > size - head.DataOffset()) {
        vell::ThrowFormatError(where_);
    }
    area_offset_ = head.DataOffset();
    area_size_ = size - head.DataOffset();
}

void TreePage::Require(uint64_t offset, uint64_t length) const {
    if (offset + length > area_size_) {
        vell::ThrowFormatError(where_);
    }
}

NodeRecord TreePage::ReadNode() const {
    Require(0, kNodeRecordSize);
    return NodeRecord::Decode(Area());
}

void TreePage::WriteNode(const NodeRecord& node) {
    Require(0, kNodeRecordSize);
    node.Encode(ChangeArea());
}

RecordHeader TreePage::ReadHeader(uint32_t offset) const {
    Require(offset, kRecordHeaderSize);
    return RecordHeader::Decode(Area() + offset);
}

void TreePage::WriteHeader(uint32_t offset, const RecordHeader& header) {
    Require(offset, kRecordHeaderSize);
    header.Encode(ChangeArea() + offset);
}

}  // namespace brindle
