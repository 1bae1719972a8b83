#include "transfer/subtree_export.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "brindle_codes.h"
#include "keys/key_paths.h"
#include "transfer/image_writer.h"
#include "vell/file_find.h"
#include "vell/file_system.h"
#include "vell/read_write_lock.h"

namespace brindle {
namespace {

// A name beside `path` that no other export in any process uses at the same time.
std::string PartialName(const std::string& path) {
    static std::atomic<uint32_t> counter{0};
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), ".~%x%x", static_cast<unsigned>(getpid()),
                  counter.fetch_add(1) & 0xFFFFFu);
    return path + suffix;
}

// Writes the image into the new file at fd. The file's space is reserved first, so that a
// full disk fails here with a result code instead of part-way through; the bytes are then
// written (never through a mapping, where a full disk would kill the process) and synced,
// so that the rename publishes a complete file.
Status CopyIntoFile(int fd, const uint8_t* image, uint32_t length) {
    vell::FileSystem& fs = vell::FileSystem::Current();
    if (length > 0 && fs.Allocate(fd, 0, static_cast<off_t>(length)) != 0) {
        return Status::kExportFile;
    }
    uint64_t done = 0;
    while (done < length) {
        ssize_t put = fs.PWrite(fd, image + done, length - done, static_cast<off_t>(done));
        if (put <= 0) {
            return Status::kExportFile;
        }
        done += static_cast<uint64_t>(put);
    }
    return fs.Sync(fd) == 0 ? Status::kOk : Status::kExportFile;
}

}  // namespace

std::string BuildExportKeyPath(const std::string& main_key_name, const std::string& path,
                               uint32_t mode) {
    std::string key_path = main_key_name;
    if (path.empty()) {
        return key_path;
    }
    if ((mode & MODE_DOTTED) == 0) {
        return key_path + "\\" + path;
    }
    std::vector<std::string> levels;
    SplitDottedPath(path, levels);
    for (const std::string& level : levels) {
        key_path += "\\" + level;
    }
    return key_path;
}

Status ExportSubtree(const ExportRequest& request) {
    try {
        if (!request.overwrite) {
            if (vell::FindFirstFile(request.path)) {
                return Status::kFileExists;
            }
        }
        ScratchSegment segment(request.capacity, request.segment_base);
        const auto node = static_cast<int64_t>(request.node);
        Status result = request.naming == SegmentNaming::kNumbered ? segment.ClaimNumbered(node)
                                                                   : segment.ClaimSingle(node);
        if (result != Status::kOk) {
            return result;
        }
        uint32_t length = 0;
        {
            // The image is complete in the segment once the writer returns, so the file is
            // written without holding up the main key's writers.
            vell::ReadGuard lock(request.main_key->key_lock);
            if (request.main_key->Dropped()) {
                return Status::kBadNode;
            }
            TreeStore* tree = request.database->Tree();
            if (tree == nullptr) {
                return Status::kNoRoot;
            }
            ImageWriter writer(*tree, segment);
            result = writer.Write(request.node, request.key_path);
            length = writer.Length();
        }
        if (result != Status::kOk) {
            return result;
        }
        return WriteExportFile(request.path, segment.Base(), length);
    } catch (...) {
        return Status::kException;
    }
}

Status WriteExportFile(const std::string& path, const uint8_t* image, uint32_t length) {
    vell::FileSystem& fs = vell::FileSystem::Current();
    const std::string partial = PartialName(path);
    int fd = fs.Open(partial, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return Status::kExportFile;
    }
    Status result = CopyIntoFile(fd, image, length);
    if (fs.Close(fd) != 0) {
        result = Status::kExportFile;
    }
    if (result == Status::kOk && fs.Rename(partial, path) != 0) {
        result = Status::kExportFile;
    }
    if (result != Status::kOk) {
        fs.Unlink(partial);
    }
    return result;
}

}  // namespace brindle
