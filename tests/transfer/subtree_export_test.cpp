#include "transfer/subtree_export.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/whole_file.h"
#include "transfer_test_util.h"

namespace brindle {
namespace {

using testing_transfer::Database;

const std::string kBase = "brindle_test_segment_" + std::to_string(getpid());

bool SegmentExists(const std::string& name) {
    int fd = shm_open(("/" + name).c_str(), O_RDONLY, 0);
    if (fd >= 0) {
        close(fd);
    }
    return fd >= 0;
}

TEST(SubtreeExportTest, FailedExportsLeaveNoSegmentAndNoFile) {
    Database db;
    const uint64_t key = db.MainKey("M");
    db.Property(key, "p", vell::VariableData("value"));
    ExportRequest request;
    request.database = db.tree.get();
    request.main_key = db.tree->FindMainKey("M");
    request.node = key;
    request.key_path = "M";
    request.path = db.dir.File("out");
    request.segment_base = kBase;
    ASSERT_EQ(ExportSubtree(request), Status::kOk);
    const std::vector<uint8_t> expected = db.Image(key, "M");
    EXPECT_EQ(testsupport::ReadWholeFile(request.path),
              std::string(expected.begin(), expected.end()));
    EXPECT_EQ(ExportSubtree(request), Status::kFileExists);

    const std::string earlier(100000, 'x');  // an earlier file, larger than the export
    std::ofstream(request.path) << earlier;
    request.overwrite = true;
    request.capacity = static_cast<uint32_t>(expected.size() - 1);
    EXPECT_EQ(ExportSubtree(request), Status::kImageTooLarge);
    EXPECT_EQ(testsupport::ReadWholeFile(request.path), earlier);
    request.capacity = export_image::kScratchCapacity;
    ASSERT_EQ(ExportSubtree(request), Status::kOk);  // replaces it whole, nothing of it left over
    EXPECT_EQ(testsupport::ReadWholeFile(request.path),
              std::string(expected.begin(), expected.end()));
    request.path = db.dir.File("missing/out");
    EXPECT_EQ(ExportSubtree(request), Status::kExportFile);
    request.path = db.dir.path().string();  // a directory cannot be replaced
    EXPECT_EQ(ExportSubtree(request), Status::kExportFile);

    EXPECT_FALSE(SegmentExists(kBase + "_" + std::to_string(key) + "_1"));
    size_t files = 0;
    for (auto& entry : std::filesystem::directory_iterator(db.dir.path())) {
        files += entry.path().filename().string().rfind("out", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(files, 1u);  // no partial file beside the export
}

}  // namespace
}  // namespace brindle
