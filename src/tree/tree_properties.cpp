// Records of a node: appending, inserting, finding, reading, deleting and replacing them.
#include <cstring>
#include <optional>

#include "tree/pinned_page.h"
#include "tree/property_record.h"
#include "tree/tree_store.h"
#include "vell/diagnostic_log.h"
#include "vell/endian.h"
#include "vell/library_errors.h"

namespace brindle {
namespace {

using PagePtr = std::unique_ptr<PinnedPage>;

// Keeps the held page when the position is in it, else pins the position's page.
PinnedPage& Hold(Pager* pool, PagePtr& held, uint64_t number, const char* where) {
    if (!held || held->Number() != number) {
        held.reset();
        held = std::make_unique<PinnedPage>(pool, number, where);
    }
    return *held;
}

}  // namespace

std::unique_ptr<PinnedPage> TreeStore::PlaceRecord(PinnedPage& node, uint64_t& new_page) {
    const char* where = "Data format error -- place record";
    uint64_t tail = node->ReadNode().tail_page;
    auto page = std::make_unique<PinnedPage>(pool_, tail > 0 ? tail : node.Number(), where);
    // The end of a page whose last data runs on belongs to that data, and its Next is what
    // the data relies on: new records go where that data ends.
    for (uint64_t walked = 0; page->Head().Has(kPageMoreData); ++walked) {
        uint64_t next = page->Head().Next();
        if (walked > pool_->PageCount()) {
            vell::ThrowFormatError(where);
        }
        page = std::make_unique<PinnedPage>(pool_, next, where);
    }
    new_page = 0;
    if ((*page)->Room() >= kRecordHeaderSize) {
        return page;
    }
    auto fresh = std::make_unique<PinnedPage>(pool_, PinnedPage::NewTag{}, where);
    fresh->ChangeHead().SetPageType(kPageTypeContinuation);
    fresh->ChangeHead().SetPrev(page->Number());
    fresh->MarkChanged();
    page->ChangeHead().SetNext(fresh->Number());
    page->MarkChanged();
    new_page = fresh->Number();
    return fresh;
}

bool TreeStore::WriteNewRecord(PinnedPage& node, const RecordHeader& header, const uint8_t* data,
                               uint32_t length, const char* operation, RecordPos& position,
                               uint64_t& end_page) {
    uint64_t taken = 0;
    PagePtr place = PlaceRecord(node, taken);
    position = RecordPos{(*place)->DataLen(), place->Number()};
    uint8_t bytes[kRecordHeaderSize];
    header.Encode(bytes);
    if (place->page()->AddData(bytes, kRecordHeaderSize) != kRecordHeaderSize) {
        vell::ThrowFormatError((std::string("Add data failed -- ") + operation).c_str());
    }
    if (!AddPageData(*place, data, length, end_page)) {
        vell::WriteLog(std::string("AddPageData error -- ") + operation);
        place->page()->SetDiscard();  // the header written above must not reach the disk
        if (taken != 0) {
            place->handle().SetFree(true);
        }
        return false;
    }
    return true;
}

bool TreeStore::AppendNodeRecord(uint64_t node, const uint8_t* data, uint32_t length) {
    if (!TreeOpen() || node == 0) {
        return false;
    }
    const char* format1 = "Data format error1 -- AppendNodeRecord";
    PinnedPage node_page(pool_, node, format1);
    NodeRecord record = node_page->ReadNode();
    PinnedPage last_page(pool_, record.last_record.page, format1);
    RecordHeader last = last_page->ReadHeader(record.last_record.offset);
    if (!last.Has(kRecordLast)) {
        vell::ThrowFormatError(format1);
    }
    if (last.Has(kRecordDeleted)) {
        vell::ThrowFormatError("Data format error2 -- AppendNodeRecord");
    }
    RecordHeader header;
    header.previous = record.last_record;
    header.data_length = static_cast<int32_t>(length);
    header.flags = kRecordStart | kRecordLast;
    RecordPos position;
    uint64_t end_page = 0;
    if (!WriteNewRecord(node_page, header, data, length, "AppendNodeRecord", position, end_page)) {
        return false;
    }
    last = last_page->ReadHeader(record.last_record.offset);
    last.next = position;
    last.flags &= ~kRecordLast;
    last_page->WriteHeader(record.last_record.offset, last);
    record = node_page->ReadNode();
    record.tail_page = end_page;
    record.last_record = position;
    node_page->WriteNode(record);
    if (length > 4) {
        const char* name = reinterpret_cast<const char*>(data + 4);
        index_.Add(NodeIndexCache::Kind::kProperties, node,
                   std::string(name, strnlen(name, length - 4)), position);
    }
    return true;
}

Status TreeStore::InsertNodeRecord(uint64_t node, RecordPos before, const uint8_t* data,
                                   uint32_t length) {
    RecordPos inserted;
    Status result = InsertRecordAt(node, before, data, length, inserted);
    index_.Drop(NodeIndexCache::Kind::kProperties, node);
    return result;
}

Status TreeStore::InsertRecordAt(uint64_t node, RecordPos before, const uint8_t* data,
                                 uint32_t length, RecordPos& inserted) {
    if (Status checked = CheckRecordCall(node, before); checked != Status::kOk) {
        return checked;
    }
    const char* format = "Data format error -- InsertNodeRecord";
    PinnedPage node_page(pool_, node, format);
    RecordHeader target;
    {
        PinnedPage target_page(pool_, before.page, format);
        target = target_page->ReadHeader(before.offset);
    }
    if (target.previous.page == 0) {
        vell::ThrowFormatError("Pre data pos is NULL -- InsertNodeRecord");
    }
    RecordHeader header;
    header.next = before;
    header.previous = target.previous;
    header.data_length = static_cast<int32_t>(length);
    header.flags = kRecordStart;
    RecordPos position;
    uint64_t end_page = 0;
    if (!WriteNewRecord(node_page, header, data, length, "InsertNodeRecord", position, end_page)) {
        return Status::kFailed;
    }
    if (end_page == 0) {
        vell::ThrowFormatError("AddPageData lastpage error -- InsertNodeRecord");
    }
    {
        PinnedPage previous_page(pool_, target.previous.page, format);
        RecordHeader previous = previous_page->ReadHeader(target.previous.offset);
        previous.next = position;
        previous_page->WriteHeader(target.previous.offset, previous);
    }
    {
        PinnedPage target_page(pool_, before.page, format);
        RecordHeader current = target_page->ReadHeader(before.offset);
        current.previous = position;
        target_page->WriteHeader(before.offset, current);
    }
    NodeRecord record = node_page->ReadNode();
    record.tail_page = end_page;
    node_page->WriteNode(record);
    inserted = position;
    return Status::kOk;
}

bool TreeStore::FindNodeProperty(uint64_t node, const std::string& name, RecordPos& position,
                                 NodeIndexCache::RecordCopy* copy) {
    if (!TreeOpen() || node == 0) {
        return false;
    }
    std::optional<RecordPos> indexed = index_.Find(
        NodeIndexCache::Kind::kProperties, node, name,
        [&](NodeIndexCache::Table& table) { return ReadPropertyTable(node, table); }, copy);
    if (indexed) {
        position = *indexed;
        return indexed->page != 0;
    }
    return WalkToProperty(node, name, position, nullptr);
}

bool TreeStore::ReadPropertyTable(uint64_t node, NodeIndexCache::Table& table) {
    RecordPos unused;
    bool unique = true;
    WalkToProperty(node, std::string(), unused, [&](const std::string& key, RecordPos at) {
        unique = unique && table.try_emplace(key, at).second;
    });
    return unique;
}

// Walks the node's property records in stored order: to the first named `name`, or, with
// `visit`, through all of them.
bool TreeStore::WalkToProperty(uint64_t node, const std::string& name, RecordPos& position,
                               const std::function<void(const std::string&, RecordPos)>& visit) {
    const char* format = "Data format error -- FindNodeProperty";
    std::string key;
    bool found = false;
    WalkPropertyRecords(
        node, RecordWalk::kChecked, format,
        [&](PinnedPage& page, RecordPos current, const RecordHeader& header) {
            if (header.data_length < 0 ||
                !GetPropertyKeyFromPage(page, current.offset + kRecordHeaderSize,
                                        static_cast<uint32_t>(header.data_length), key)) {
                vell::ThrowFormatError("GetPropertyKeyFromPage failed -- FindNodeProperty");
            }
            if (visit) {
                visit(key, current);
                return true;
            }
            found = key == name;
            position = found ? current : position;
            return !found;
        });
    return found;
}

// Visits the records after the node's name (its properties) in stored order, each with its
// page, until visit returns false. False when the node has no record at all; kChecked also
// checks that the page is a node's and that the chain starts with the name's record.
bool TreeStore::WalkPropertyRecords(
    uint64_t node, RecordWalk checks, const char* format,
    const std::function<bool(PinnedPage&, RecordPos, const RecordHeader&)>& visit) {
    PagePtr held = std::make_unique<PinnedPage>(pool_, node, format);
    if (checks == RecordWalk::kChecked && held->Head().PageType() != kPageTypeNode) {
        vell::ThrowFormatError(format);
    }
    RecordPos current = (*held)->ReadNode().first_record;
    if (current.page == 0) {
        return false;
    }
    RecordHeader header = Hold(pool_, held, current.page, format)->ReadHeader(current.offset);
    if (checks == RecordWalk::kChecked && !header.Has(kRecordFirst)) {
        vell::ThrowFormatError(format);
    }
    for (uint64_t walked = 0; header.next.page != 0; ++walked) {
        if (walked > WalkBound(pool_->PageCount())) {
            vell::ThrowFormatError(format);
        }
        current = header.next;
        PinnedPage& page = Hold(pool_, held, current.page, format);
        header = page->ReadHeader(current.offset);
        if (!visit(page, current, header)) {
            break;
        }
    }
    return true;
}

namespace {

// The record at offset in the page: its data length in length, and its data copied to buffer
// when buffer is set and large enough. A record whose data continues on later pages gives
// nothing unless copy_rest copies the rest (it is called with the bytes in this page): a read
// without pins leaves such data to a pinned one.
template <typename CopyRest>
std::optional<Status> ReadRecordAt(TreePage& page, uint32_t offset, uint8_t* buffer,
                                   uint32_t& length, const char* format, CopyRest&& copy_rest) {
    RecordHeader header = page.ReadHeader(offset);
    if (!header.Has(kRecordStart) || header.data_length < 0) {
        vell::ThrowFormatError(format);
    }
    const uint32_t data_length = static_cast<uint32_t>(header.data_length);
    if (buffer == nullptr) {
        length = data_length;
        return Status::kOk;
    }
    if (length < data_length) {
        length = data_length;
        return Status::kBufferTooSmall;
    }
    const uint32_t data_offset = offset + kRecordHeaderSize;
    if (data_offset <= page.AreaSize() && page.AreaSize() - data_offset >= data_length) {
        std::memcpy(buffer, page.Area() + data_offset, data_length);
    } else if (!copy_rest(data_offset, data_length)) {
        return std::nullopt;
    }
    length = data_length;
    return Status::kOk;
}

}  // namespace

Status TreeStore::GetNodeRecord(uint64_t node, RecordPos position, uint8_t* buffer,
                                uint32_t& length) {
    if (Status checked = CheckRecordCall(node, position); checked != Status::kOk) {
        return checked;
    }
    const char* format = "Data format error -- GetNodeRecord";
    // Most records lie whole in a page that is in memory: read them there without a pin.
    std::optional<Status> read_resident;
    uint32_t resident_length = length;
    pool_->ReadResident(position.page, [&](Page* resident) {
        TreePage page(resident, format);
        read_resident = ReadRecordAt(page, position.offset, buffer, resident_length, format,
                                     [](uint32_t, uint32_t) { return false; });
    });
    if (read_resident) {
        length = resident_length;
        return *read_resident;
    }
    PinnedPage page(pool_, position.page, format);
    bool copied = true;
    std::optional<Status> read =
        ReadRecordAt(page.view(), position.offset, buffer, length, format,
                     [&](uint32_t data_offset, uint32_t data_length) {
                         copied = CopyDataFromPageEx(page, buffer, data_offset, data_length);
                         return true;
                     });
    return copied && read ? *read : Status::kDataError;
}

Status TreeStore::GetNodeAllRecords(uint64_t node, vell::MemCache& buffer, uint32_t& total,
                                    RecordsForm form) {
    if (Status checked = CheckNode(node); checked != Status::kOk) {
        return checked;
    }
    const uint32_t header_size = form == RecordsForm::kListing24 ? 24 : 8;
    if (buffer.Size() < header_size && !buffer.Allocate(1048576)) {
        vell::ThrowFormatError("Alloc memory failed -- GetNodeAllRecords");
    }
    const char* format = "Data format error -- GetNodeAllRecords";
    uint64_t used = header_size;
    uint32_t count = 0;
    bool copied = true;
    const bool named = WalkPropertyRecords(
        node, RecordWalk::kPlain, format,
        [&](PinnedPage& page, RecordPos current, const RecordHeader& header) {
            if (header.data_length < 0) {
                vell::ThrowFormatError(format);
            }
            const uint64_t data_length = static_cast<uint32_t>(header.data_length);
            if (buffer.Size() - used < data_length + 4) {
                uint64_t grown = buffer.Size() + 8 + 2 * data_length;
                if (grown > vell::MemCache::kMaxSize ||
                    !buffer.Resize(static_cast<uint32_t>(grown))) {
                    vell::ThrowFormatError("Alloc memory error2 -- GetNodeAllRecords");
                }
            }
            vell::StoreU32(buffer.Data() + used, static_cast<uint32_t>(data_length));
            copied = CopyDataFromPageEx(page, buffer.Data() + used + 4,
                                        current.offset + kRecordHeaderSize,
                                        static_cast<uint32_t>(data_length));
            used += 4 + data_length;
            ++count;
            return copied;
        });
    if (!named) {
        vell::ThrowFormatError(format);
    }
    if (!copied) {
        return Status::kDataError;
    }
    uint8_t* out = buffer.Data();
    if (form == RecordsForm::kListing24) {
        vell::StoreU32(out + 12, static_cast<uint32_t>(used - 16));
        vell::StoreU32(out + 16, static_cast<uint32_t>(used - 16));
        vell::StoreU32(out + 20, count);
    } else {
        vell::StoreU32(out, static_cast<uint32_t>(used));
        vell::StoreU32(out + 4, count);
    }
    total = static_cast<uint32_t>(used);
    return Status::kOk;
}

Status TreeStore::DeleteNodeProperty(uint64_t node, RecordPos position) {
    Status result = DeleteRecordAt(node, position);
    index_.Drop(NodeIndexCache::Kind::kProperties, node);
    return result;
}

Status TreeStore::DeleteRecordAt(uint64_t node, RecordPos position) {
    if (Status checked = CheckRecordCall(node, position); checked != Status::kOk) {
        return checked;
    }
    const char* type_error = "Data format error page type error-- DeleteNodeProperty";
    PinnedPage node_page(pool_, node, type_error);
    if (node_page.Head().PageType() != kPageTypeNode) {
        vell::ThrowFormatError(type_error);
    }
    const char* position_error = "Data format error position error -- DeleteNodeProperty";
    PinnedPage record_page(pool_, position.page, position_error);
    RecordHeader removed = record_page->ReadHeader(position.offset);
    if (!removed.Has(kRecordStart)) {
        vell::ThrowFormatError(position_error);
    }
    if (removed.previous.page == 0 && !removed.Has(kRecordFirst)) {
        vell::ThrowFormatError("Data format error2 pre pos is NULL-- DeleteNodeProperty");
    }
    NodeRecord record = node_page->ReadNode();
    const bool was_last = record.last_record == position;
    std::vector<PagePtr> touched;  // every page that leads to pages the delete frees
    UnlinkRecord(removed, was_last, record, touched, position_error);
    removed.flags |= kRecordDeleted;
    record_page->WriteHeader(position.offset, removed);

    uint64_t last_freed = 0;
    if (removed.data_length < 0 ||
        !ClearDataSpaceEx(record_page, position.offset + kRecordHeaderSize,
                          static_cast<uint32_t>(removed.data_length), last_freed, touched)) {
        vell::ThrowFormatError("Clear data space -- DeleteNodeProperty");
    }
    record.tail_page = TailAfterDelete(node, position, removed, record.tail_page, last_freed,
                                       record_page, position_error);
    if (was_last) {
        record.last_record = removed.previous;
    }
    // Keep the node's own changes (the first and last record may have been rewritten through
    // another holder of the same page, which writes only record headers).
    NodeRecord current = node_page->ReadNode();
    current.first_record = record.first_record;
    current.last_record = record.last_record;
    current.tail_page = record.tail_page;
    node_page->WriteNode(current);

    touched.clear();
    return Status::kOk;
}

// Links the records before and after `removed` to each other, or the node to whichever of
// them is left. The neighbours' pages stay pinned in `touched`.
void TreeStore::UnlinkRecord(const RecordHeader& removed, bool was_last, NodeRecord& record,
                             std::vector<PagePtr>& touched, const char* where) {
    if (removed.previous.page != 0) {
        PagePtr& page =
            touched.emplace_back(std::make_unique<PinnedPage>(pool_, removed.previous.page, where));
        RecordHeader previous = (*page)->ReadHeader(removed.previous.offset);
        previous.next = removed.next;
        if (was_last) {
            previous.flags |= kRecordLast;
        }
        (*page)->WriteHeader(removed.previous.offset, previous);
    } else if (removed.next.page != 0) {
        record.first_record = removed.next;
    } else {
        record.first_record = record.last_record = RecordPos{};
    }
    if (removed.next.page != 0) {
        PagePtr& page =
            touched.emplace_back(std::make_unique<PinnedPage>(pool_, removed.next.page, where));
        RecordHeader next = (*page)->ReadHeader(removed.next.offset);
        next.previous = removed.previous;
        if (removed.previous.page == 0) {
            next.flags |= kRecordFirst;
        }
        (*page)->WriteHeader(removed.next.offset, next);
    }
}

// Where the node's next record goes once the removed record's data freed pages up to
// `last_freed`: unchanged unless the tail page was freed or emptied.
uint64_t TreeStore::TailAfterDelete(uint64_t node, RecordPos position, const RecordHeader& removed,
                                    uint64_t tail_page, uint64_t last_freed,
                                    PinnedPage& record_page, const char* where) {
    if (last_freed != 0 && last_freed == tail_page) {
        if (last_freed == position.page) {
            return removed.next.page       ? removed.next.page
                   : removed.previous.page ? removed.previous.page
                                           : node;
        }
        return static_cast<int32_t>(record_page.Head().PieceCount()) > 0 ? position.page : node;
    }
    if (last_freed != 0 && last_freed != position.page && tail_page != 0) {
        PinnedPage tail(pool_, tail_page, where);
        if (static_cast<int32_t>(tail.Head().PieceCount()) <= 0) {
            return node;
        }
    }
    return tail_page;
}

Status TreeStore::DeleteNodePropertyByName(uint64_t node, const std::string& name) {
    if (Status checked = CheckNode(node); checked != Status::kOk) {
        return checked;
    }
    if (name.empty()) {
        return Status::kEmptyPropertyName;
    }
    RecordPos position;
    if (!FindNodeProperty(node, name, position)) {
        return Status::kPropertyNotFound;
    }
    Status result = DeleteRecordAt(node, position);
    if (result == Status::kOk) {
        index_.Remove(NodeIndexCache::Kind::kProperties, node, name, position);
    }
    return result;
}

Status TreeStore::ReplaceNodeProperty(uint64_t node, const std::string& name, const uint8_t* data,
                                      uint32_t length) {
    if (Status checked = CheckNode(node); checked != Status::kOk) {
        return checked;
    }
    RecordPos position;
    if (!FindNodeProperty(node, name, position)) {
        return Status::kPropertyNotFound;
    }
    RecordPos inserted;
    Status result = InsertRecordAt(node, position, data, length, inserted);
    if (result == Status::kOk) {
        result = DeleteRecordAt(node, position);
    }
    if (result == Status::kOk) {
        index_.Set(NodeIndexCache::Kind::kProperties, node, name, inserted);
    } else {
        index_.Drop(NodeIndexCache::Kind::kProperties, node);
    }
    return result;
}

Status TreeStore::EditNodeProperty(uint64_t node, const std::string& name,
                                   const vell::VariableData& value) {
    if (Status checked = CheckNode(node); checked != Status::kOk) {
        return checked;
    }
    const char* failed = "Get binary data failed -- EditNodeProperty";
    NamedValue property(name, value);
    uint32_t size = 0;
    if (name.empty() || !EncodeProperty(property, nullptr, size)) {
        vell::ThrowFormatError(failed);
    }
    vell::MemCache buffer;
    if (!buffer.Allocate(size)) {
        vell::ThrowFormatError("Alloc memory failed -- EditNodeProperty");
    }
    if (!EncodeProperty(property, buffer.Data(), size)) {
        vell::ThrowFormatError(failed);
    }
    return ReplaceNodeProperty(node, name, buffer.Data(), size);
}

Status TreeStore::GetNodePropertyByName(uint64_t node, const std::string& name, uint8_t* buffer,
                                        uint32_t& length) {
    if (Status checked = CheckNode(node); checked != Status::kOk) {
        return checked;
    }
    // A record read before is copied from the index, touching no page.
    NodeIndexCache::RecordCopy copy{buffer, length};
    RecordPos position;
    if (!FindNodeProperty(node, name, position, &copy)) {
        return Status::kPropertyNotFound;
    }
    if (copy.held) {
        length = copy.length;
        // Without a buffer the call only asks for the length, as GetNodeRecord answers it.
        return buffer == nullptr || copy.length <= copy.capacity ? Status::kOk
                                                                 : Status::kBufferTooSmall;
    }
    const uint32_t capacity = length;
    const Status read = GetNodeRecord(node, position, buffer, length);
    if (read == Status::kOk && buffer != nullptr && length <= capacity) {
        index_.HoldRecord(node, name, position, buffer, length);  // kept while it is indexed
    }
    return read;
}

}  // namespace brindle
