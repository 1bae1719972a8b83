// A database on a small file system that fills up: the call that finds no room fails and
// changes nothing, the database stays sound, and once there is room again the next call
// works. Needs a tmpfs mount of its own, so it runs only where this process may mount.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <string>
#include <vector>

#include "api/handles.h"
#include "api_test_util.h"
#include "brindle.h"
#include "md_exception.h"
#include "tree/tree_verifier.h"

namespace brindle {
namespace {

using testing_api::Append;

class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string& where) : where_(where) {
        std::filesystem::create_directories(where_);
        mounted_ = mount("tmpfs", where_.c_str(), "tmpfs", 0, "size=1m") == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) {
            umount2(where_.c_str(), MNT_DETACH);
        }
    }
    bool Mounted() const { return mounted_; }
    bool Grow() { return mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT, "size=16m") == 0; }

private:
    std::string where_;
    bool mounted_ = false;
};

std::vector<std::string> State(void* key) {
    std::vector<std::string> lines;
    testing_api::PropertyList properties;
    EXPECT_EQ(BRN_SelectKeyPropertys(key, properties), BRN_OK);
    for (auto& [name, value] : properties) {
        lines.push_back(name + ":" + std::to_string(value.GetBinarySize()));
    }
    return lines;
}

void ExpectSound(void* file) {
    VerifyReport report = TreeVerifier::Verify(*static_cast<BRNFHandle*>(file)->database->Pool());
    EXPECT_TRUE(report.Sound() && report.leaks.empty()) << report.Text();
}

TEST(FullDiskTest, TheCallThatFindsNoRoomChangesNothingAndTheNextOneWorksOnceThereIsRoom) {
    testsupport::TempDir dir;
    SmallFileSystem small(dir.File("small"));
    if (!small.Mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    vell::OutputCapture quiet;
    const std::string path = dir.File("small/db");
    void* file = nullptr;
    ASSERT_EQ(BRN_OpenFile(path.c_str(), file, 0), BRN_OK);
    void* key = nullptr;
    ASSERT_EQ(BRN_OpenKey(file, key, "F", "", MODE_CREATE), BRN_OK);
    std::vector<uint8_t> blob(64 * 1024, 0x5A);
    int appended = 0;
    for (; appended < 100; ++appended) {
        std::vector<std::string> before = State(key);
        int result = 0;
        try {
            result = Append(key, "b" + std::to_string(appended),
                            vell::VariableData(blob.data(), static_cast<int>(blob.size())));
        } catch (const MDException&) {
            result = -1;
        }
        if (result != BRN_OK) {
            EXPECT_EQ(State(key), before);
            ExpectSound(file);
            break;
        }
    }
    ASSERT_LT(appended, 100) << "the file system never filled";
    ASSERT_TRUE(small.Grow());
    EXPECT_EQ(Append(key, "after", vell::VariableData(blob.data(), 1000)), BRN_OK);
    BRN_CloseBRNHandle(key);
    BRN_CloseBRNFHandle(file);

    ASSERT_EQ(BRN_OpenFile(path.c_str(), file, 0), BRN_OK);
    ASSERT_EQ(BRN_OpenKey(file, key, "F", "", MODE_OPEN), BRN_OK);
    EXPECT_EQ(State(key).size(), static_cast<size_t>(appended) + 1);
    ExpectSound(file);
    BRN_CloseBRNHandle(key);
    BRN_CloseBRNFHandle(file);
}

}  // namespace
}  // namespace brindle
