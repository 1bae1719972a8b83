#pragma once

#include <cstdint>
#include <string>

#include "keys/common_tree.h"
#include "keys/main_key_info.h"
#include "transfer/export_image.h"
#include "transfer/scratch_segment.h"

namespace brindle {

// How an export names its scratch segment: numbered names let exports of one key run side
// by side; the single name refuses a second export of the key while one runs.
enum class SegmentNaming { kNumbered, kSingle };

// One export of a key's subtree to a file, once the key handle has been checked.
struct ExportRequest {
    CommonTree* database = nullptr;
    MainKeyInfo* main_key = nullptr;
    uint64_t node = 0;
    std::string key_path;  // stored in the header; see BuildExportKeyPath
    std::string path;      // the file to write
    bool overwrite = false;
    SegmentNaming naming = SegmentNaming::kNumbered;
    uint32_t capacity = export_image::kScratchCapacity;
    std::string segment_base = ScratchSegment::kBaseName;
};

// The full key path of a key: the main-key name, then one backslash and the path below it;
// a dotted path (MODE_DOTTED) gives one backslash and one cumulative prefix per level
// instead ("a.b" gives "\a\a.b"), which are the names of those levels.
std::string BuildExportKeyPath(const std::string& main_key_name, const std::string& path,
                               uint32_t mode);

// Builds the image in a scratch segment under the main key's read lock and writes it to
// the file. kOk, or: kFileExists when the file exists and overwrite is false, kNoSegmentName and
// kNoBuffer from the segment, kBadNode when the main key was deleted, the image writer's
// outcomes, kExportFile when the file cannot be written, kException when an exception was
// raised. A failed export leaves no segment
// and no file behind, and a file it was to replace stays as it was.
Status ExportSubtree(const ExportRequest& request);

// Writes the image to a new file beside `path` and renames it over `path` once complete.
// kOk or kExportFile (the new file removed again).
Status WriteExportFile(const std::string& path, const uint8_t* image, uint32_t length);

}  // namespace brindle
