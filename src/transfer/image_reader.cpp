#include "transfer/image_reader.h"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "brindle_codes.h"
#include "transfer/export_image.h"
#include "tree/property_record.h"
#include "vell/endian.h"

namespace brindle {

using namespace export_image;

namespace {

// Reads the record at `at`: its header must be there with size 20, and its name and its
// property block must lie wholly inside the image. kImportFormat otherwise; `header_error` is the
// outcome for a header size other than 20.
Status ReadNodeRecord(const uint8_t* image, uint64_t size, uint64_t at, Status header_error,
                      NodeRecordView& record) {
    if (at > size || size - at < kExportRecordHeaderSize) {
        return Status::kImportFormat;
    }
    const uint8_t* header = image + at;
    if (vell::LoadU32(header) != kExportRecordHeaderSize) {
        return header_error;
    }
    record.offset = at;
    record.flags = vell::LoadU32(header + kRecordFlagsOffset);
    record.block_length = vell::LoadU32(header + kRecordBlockLengthOffset);
    record.id = vell::LoadU32(header + kRecordIdOffset);
    record.parent = vell::LoadU32(header + kRecordParentOffset);
    const uint64_t name_at = at + kExportRecordHeaderSize;
    const void* nul = std::memchr(image + name_at, '\0', size - name_at);
    if (nul == nullptr) {
        return Status::kImportFormat;
    }
    const auto name_length =
        static_cast<uint64_t>(static_cast<const uint8_t*>(nul) - (image + name_at));
    record.name = std::string_view(reinterpret_cast<const char*>(image + name_at), name_length);
    const uint64_t block_at = name_at + name_length + 1;
    if (size - block_at < record.block_length || !IsStorableName(record.name)) {
        return Status::kImportFormat;
    }
    record.block = image + block_at;
    record.end = block_at + record.block_length;
    return Status::kOk;
}

// Decodes a stored property record, which must name its property as the stores do.
bool DecodeEntry(PropertyEntry& entry) {
    NamedValue property;
    if (!DecodeProperty(entry.record, entry.length, property) || !IsStorableName(property.first)) {
        return false;
    }
    entry.name = std::move(property.first);
    entry.value = property.second;
    return true;
}

}  // namespace

bool IsStorableName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxNameLength;
}

Status CheckImageHeader(const uint8_t* image, uint64_t size, std::string& key_path) {
    if (size < kHeaderSize) {
        return Status::kImportFormat;
    }
    if (vell::LoadU32(image) != kHeaderSize) {
        return Status::kImportHeader;
    }
    if (vell::LoadU32(image + 4) != kVersion) {
        return Status::kVersion;
    }
    const uint64_t area = size - kHeaderSize;
    if (vell::LoadU32(image + kAreaLengthOffset) != area) {
        return Status::kImportFormat;
    }
    if (ExportChecksum(image + kHeaderSize, static_cast<uint32_t>(area)) !=
        vell::LoadU32(image + kChecksumOffset)) {
        return Status::kChecksum;
    }
    // The field is NUL-padded; a path that fills it to the last byte ends with the field.
    const auto* field = reinterpret_cast<const char*>(image + kKeyPathOffset);
    key_path.assign(field, strnlen(field, kKeyPathField));
    return key_path.empty() ? Status::kImportEmptyPath : Status::kOk;
}

Status ReadRootRecord(const uint8_t* image, uint64_t size, NodeRecordView& root) {
    if (size - kHeaderSize < kExportRecordHeaderSize) {
        return Status::kImportFormat;
    }
    if (vell::LoadU32(image + kHeaderSize) != kExportRecordHeaderSize) {
        return Status::kImportHeader;
    }
    const uint8_t* header = image + kHeaderSize;
    if ((vell::LoadU32(header + kRecordFlagsOffset) & kExportRoot) == 0 ||
        vell::LoadU32(header + kRecordIdOffset) != 0 ||
        vell::LoadU32(header + kRecordParentOffset) != 0) {
        return Status::kImportFormat;
    }
    return ReadNodeRecord(image, size, kHeaderSize, Status::kImportHeader, root);
}

// The records of a level follow each other until one marked last; a record not marked leaf
// is followed by the records of its own children first. A level is kept on a stack as the
// token of its parent and whether its first record is still to come; a level whose last
// record is read is dropped before that record's children are taken up, as nothing of it
// follows them.
Status WalkChildren(const uint8_t* image, uint64_t size, const NodeRecordView& root,
                    uint64_t root_token, const RecordVisitor& visit) {
    struct Level {
        uint64_t token;
        bool at_first;
    };
    if ((root.flags & kExportLeaf) != 0) {
        return Status::kOk;
    }
    std::vector<Level> levels{{root_token, true}};
    uint64_t at = root.end;
    while (!levels.empty()) {
        if (at > size || size - at < kExportRecordHeaderSize ||
            vell::LoadU32(image + at) != kExportRecordHeaderSize) {
            return Status::kImportFormat;
        }
        const uint32_t flags = vell::LoadU32(image + at + kRecordFlagsOffset);
        if (levels.back().at_first) {
            if ((flags & kExportEnd) != 0) {
                levels.pop_back();  // no children after all
                continue;
            }
            if ((flags & kExportFirstChild) == 0) {
                return Status::kImportFormat;
            }
            levels.back().at_first = false;
        }
        NodeRecordView record;
        Status result = ReadNodeRecord(image, size, at, Status::kImportFormat, record);
        uint64_t token = 0;
        if (result == Status::kOk) {
            result = visit(levels.back().token, record, token);
        }
        if (result != Status::kOk) {
            return result;
        }
        at = record.end;
        if ((flags & kExportLast) != 0) {
            levels.pop_back();
        }
        if ((flags & kExportLeaf) == 0) {
            levels.push_back(Level{token, true});
        }
    }
    return Status::kOk;
}

Status ForEachProperty(const uint8_t* block, uint32_t length,
                       const std::function<Status(const PropertyEntry&)>& use) {
    if (length < 4) {
        return Status::kImportFormat;
    }
    if (vell::LoadU32(block) != length) {
        return Status::kImportHeader;
    }
    if (length < kEmptyBlockSize) {
        return Status::kImportFormat;
    }
    const uint32_t count = vell::LoadU32(block + 4);
    uint64_t at = kEmptyBlockSize;
    for (uint32_t i = 0; i < count; ++i) {
        if (length - at < 4) {
            return Status::kImportFormat;
        }
        const uint32_t entry_length = vell::LoadU32(block + at);
        at += 4;
        if (length - at < entry_length) {
            return Status::kImportFormat;
        }
        PropertyEntry entry;
        entry.record = block + at;
        entry.length = entry_length;
        bool decoded = false;
        try {
            decoded = DecodeEntry(entry);
        } catch (const std::bad_alloc&) {
            return Status::kNoBuffer;
        }
        if (!decoded) {
            return Status::kException;
        }
        if (Status result = use(entry); result != Status::kOk) {
            return result;
        }
        at += entry_length;
    }
    return Status::kOk;
}

}  // namespace brindle
