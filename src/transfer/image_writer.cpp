#include "transfer/image_writer.h"

#include <cstring>

#include "brindle_codes.h"
#include "transfer/export_image.h"
#include "vell/endian.h"

namespace brindle {

using namespace export_image;

namespace {

constexpr uint32_t kInitialBlockBuffer = 1024;

// One level of the depth-first walk: the node whose children are being written, with the
// id its own record got and the id the next of its children gets.
struct Level {
    uint32_t id;
    uint32_t next_id;
    std::vector<std::pair<uint64_t, std::string>> children;
    size_t index = 0;
};

}  // namespace

ImageWriter::ImageWriter(TreeStore& tree, ImageSink& sink)
    : tree_(tree), sink_(sink), block_(kInitialBlockBuffer) {}

Status ImageWriter::Write(uint64_t node, const std::string& key_path) {
    total_ = 0;
    if (tree_.RootPage() == 0) {
        return Status::kNoRoot;
    }
    if (node == 0 || static_cast<int64_t>(node) < 0) {
        return Status::kBadNode;
    }
    if (key_path.size() >= kKeyPathField) {
        return Status::kKeyPathTooLong;
    }
    if (sink_.Capacity() <= kHeaderSize + kExportRecordHeaderSize) {
        return Status::kImageTooLarge;
    }
    Status result = WriteHeader(key_path);
    std::string name;
    if (result == Status::kOk) {
        result = tree_.GetNodeName(node, name);
    }
    uint64_t root_at = 0;
    if (result == Status::kOk) {
        result =
            AppendNodeRecord(node, name, kExportRoot | kExportFirst | kExportLast, 0, 0, root_at);
    }
    bool wrote_children = false;
    if (result == Status::kOk) {
        result = WriteChildren(node, wrote_children);
    }
    if (result != Status::kOk) {
        return result;
    }
    if (!wrote_children) {
        AddFlags(root_at, kExportLeaf);
    }
    if (total_ + kExportRecordHeaderSize > sink_.Capacity()) {
        return Status::kImageTooLarge;
    }
    uint8_t end[kExportRecordHeaderSize] = {};
    vell::StoreU32(end, kExportRecordHeaderSize);
    vell::StoreU32(end + kRecordFlagsOffset, kExportEnd);
    if (!sink_.Reserve(total_ + kExportRecordHeaderSize)) {
        return Status::kNoBuffer;
    }
    std::memcpy(sink_.Base() + total_, end, kExportRecordHeaderSize);
    total_ += kExportRecordHeaderSize;
    uint8_t* image = sink_.Base();
    const uint32_t area = static_cast<uint32_t>(total_ - kHeaderSize);
    vell::StoreU32(image + kAreaLengthOffset, area);
    vell::StoreU32(image + kChecksumOffset, ExportChecksum(image + kHeaderSize, area));
    return Status::kOk;
}

Status ImageWriter::WriteHeader(const std::string& key_path) {
    if (!sink_.Reserve(kHeaderSize)) {
        return Status::kNoBuffer;
    }
    uint8_t* header = sink_.Base();
    std::memset(header, 0, kHeaderSize);
    vell::StoreU32(header, kHeaderSize);
    vell::StoreU32(header + 4, kVersion);
    vell::StoreU32(header + 8, kReserved);
    std::memcpy(header + kKeyPathOffset, key_path.data(), key_path.size());
    total_ = kHeaderSize;
    return Status::kOk;
}

// Children are written depth first without recursion, so that a deep tree cannot exhaust
// the stack. Ids follow the order of writing: a node's children count on from its own id,
// and once a child with children of its own is done, the next sibling's id is one past the
// number that child's subtree left behind (so one id is skipped after such a subtree).
Status ImageWriter::WriteChildren(uint64_t root, bool& wrote_any) {
    std::vector<Level> levels(1, Level{0, 1, {}, 0});
    if (Status result = GetChildren(root, levels[0].children); result != Status::kOk) {
        return result;
    }
    wrote_any = !levels[0].children.empty();
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.index == level.children.size()) {
            const uint32_t handed_back = level.next_id;
            levels.pop_back();
            if (!levels.empty()) {
                levels.back().next_id = handed_back + 1;
            }
            continue;
        }
        const bool first = level.index == 0;
        const auto [child, name] = std::move(level.children[level.index++]);
        uint32_t flags = first ? kExportFirstChild | kExportFirst : kExportNotFirst;
        if (level.index == level.children.size()) {
            flags |= kExportLast;
        }
        const uint32_t id = level.next_id;
        uint64_t record_at = 0;
        Status result = AppendNodeRecord(child, name, flags, id, level.id, record_at);
        Level below{id, id + 1, {}, 0};
        if (result == Status::kOk) {
            result = GetChildren(child, below.children);
        }
        if (result != Status::kOk) {
            return result;
        }
        if (below.children.empty()) {
            AddFlags(record_at, kExportLeaf);
            level.next_id += 1;
        } else {
            levels.push_back(std::move(below));  // `level` is not used past this point
        }
    }
    return Status::kOk;
}

Status ImageWriter::AppendNodeRecord(uint64_t node, const std::string& name, uint32_t flags,
                                     uint32_t id, uint32_t parent, uint64_t& record_at) {
    uint8_t header[kExportRecordHeaderSize] = {};
    vell::StoreU32(header, kExportRecordHeaderSize);
    vell::StoreU32(header + kRecordFlagsOffset, flags);
    vell::StoreU32(header + kRecordIdOffset, id);
    vell::StoreU32(header + kRecordParentOffset, parent);
    record_at = total_;
    Status result = Append(header, kExportRecordHeaderSize);
    if (result == Status::kOk) {
        result = Append(name.c_str(), name.size() + 1);
    }
    uint32_t block_length = 0;
    if (result == Status::kOk) {
        result =
            tree_.GetNodeAllRecords(node, block_, block_length, TreeStore::RecordsForm::kExport8);
    }
    if (result == Status::kOk) {
        result = Append(block_.Data(), block_length);
    }
    if (result == Status::kOk) {
        vell::StoreU32(sink_.Base() + record_at + kRecordBlockLengthOffset, block_length);
    }
    return result;
}

Status ImageWriter::Append(const void* data, uint64_t length) {
    if (total_ + length >= sink_.Capacity()) {
        return Status::kImageTooLarge;
    }
    if (!sink_.Reserve(total_ + length)) {
        return Status::kNoBuffer;
    }
    std::memcpy(sink_.Base() + total_, data, length);
    total_ += length;
    return Status::kOk;
}

Status ImageWriter::GetChildren(uint64_t node, Children& children) {
    return tree_.GetSubNodes(node, children) ? Status::kOk : Status::kBadNode;
}

void ImageWriter::AddFlags(uint64_t record_at, uint32_t flags) {
    uint8_t* word = sink_.Base() + record_at + kRecordFlagsOffset;
    vell::StoreU32(word, vell::LoadU32(word) | flags);
}

}  // namespace brindle
