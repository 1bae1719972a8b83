#include "vell/file_mapping.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "md_exception.h"
#include "support/temp_dir.h"
#include "support/whole_file.h"

namespace vell {
namespace {

constexpr unsigned int kScratchFlags = 0x28;
constexpr unsigned int kExportFileFlags = 0x48;
constexpr unsigned int kImportFileFlags = 0x84;

// A shared-memory name no other test process uses.
std::string UniqueName(const char* what) {
    return std::string("brindle_test_") + what + "_" + std::to_string(getpid());
}

bool ObjectExists(const std::string& name) {
    int fd = shm_open(("/" + name).c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

TEST(FileMappingTest, SameNameTwiceSharesMemoryAndTheCreatorFreesTheName) {
    const std::string name = UniqueName("share");
    {
        FileMapping first;
        FileMapping second;
        auto* a = static_cast<char*>(first.CreateShared(name, 8192));
        ASSERT_NE(a, nullptr);
        EXPECT_FALSE(first.Existed());
        auto* b = static_cast<char*>(second.CreateShared(name, 8192));
        ASSERT_NE(b, nullptr);
        EXPECT_TRUE(second.Existed());
        std::strcpy(a, "shared");
        EXPECT_STREQ(b, "shared");

        // A name that must be new fails and leaves nothing held.
        FileMapping third(name);
        EXPECT_FALSE(third.Create(8192, 0, 0x2 | kScratchFlags));
        EXPECT_EQ(third.GetError(), FileMapping::kErrorExisted);
        EXPECT_EQ(third.Map(FileMapping::kAccessAll), nullptr);
        EXPECT_EQ(third.GetError(), FileMapping::kErrorNoMapping);

        // An object holding a mapping refuses a second one and keeps the first.
        EXPECT_FALSE(first.Create(8192, 0, kScratchFlags));
        EXPECT_EQ(first.GetError(), FileMapping::kErrorMappingHeld);
        EXPECT_EQ(first.Size(), 8192u);

        second.Unmap(b);
        second.Close();  // not the creator: the name stays
        EXPECT_TRUE(ObjectExists(name));
    }
    EXPECT_FALSE(ObjectExists(name));
}

TEST(FileMappingTest, LiveHoldersInOtherProcessesCountAndDeadOnesAreTakenOver) {
    const std::string name = UniqueName("process");
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FileMapping mapping;
        auto* memory = static_cast<char*>(mapping.CreateShared(name, 4096));
        if (memory != nullptr) {
            std::strcpy(memory, "stale");
        }
        char byte = memory != nullptr ? 1 : 0;
        (void)!write(ready[1], &byte, 1);
        (void)!read(release[0], &byte, 1);
        _exit(0);  // dies holding the name: no Close, no unlink
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 1);
    {
        FileMapping while_alive(name);
        ASSERT_TRUE(while_alive.Create(4096, 0, kScratchFlags));
        EXPECT_TRUE(while_alive.Existed());
        FileMapping opened(name);
        ASSERT_TRUE(opened.Create(0, 0, 0x100));
        auto* seen = static_cast<char*>(opened.Map(FileMapping::kAccessRead));
        ASSERT_NE(seen, nullptr);
        EXPECT_STREQ(seen, "stale");
        opened.Unmap(seen);
    }
    ASSERT_EQ(write(release[1], &byte, 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(ObjectExists(name));  // left behind by the dead holder

    FileMapping open_only(name);
    EXPECT_FALSE(open_only.Create(0, 0, 0x100));  // a leftover is not a live mapping
    FileMapping taker;
    auto* memory = static_cast<char*>(taker.CreateShared(name, 4096));
    ASSERT_NE(memory, nullptr);
    EXPECT_FALSE(taker.Existed());
    EXPECT_EQ(memory[0], 0);  // the dead holder's contents are gone
    EXPECT_TRUE(taker.Commit(4096));
    taker.Unmap(memory);
    taker.Close();
    EXPECT_FALSE(ObjectExists(name));
    for (int fd : {ready[0], ready[1], release[0], release[1]}) {
        close(fd);
    }
}

TEST(FileMappingTest, OpeningNamedMappingsNeedsANameAndAHolder) {
    FileMapping unnamed;
    EXPECT_FALSE(unnamed.Create(0, 0, 0x100));
    EXPECT_EQ(unnamed.GetError(), FileMapping::kErrorNoName);
    FileMapping missing(UniqueName("missing"));
    EXPECT_FALSE(missing.Create(0, 0, 0x100));
    FileMapping must_exist(UniqueName("must_exist"));
    EXPECT_FALSE(must_exist.Create(4096, 0, 0x1 | kScratchFlags));
    EXPECT_EQ(must_exist.GetError(), FileMapping::kErrorNotExisted);
    EXPECT_FALSE(ObjectExists(UniqueName("must_exist")));

    FileMapping anonymous;
    ASSERT_TRUE(anonymous.Create(4096, 0, kScratchFlags));
    EXPECT_NE(anonymous.Map(FileMapping::kAccessAll), nullptr);
}

TEST(FileMappingTest, FileMappingsWriteReadAndRefuseWhatCannotBeMapped) {
    testsupport::TempDir dir;
    const std::string path = dir.File("image");
    const uint32_t granularity = FileMapping::AllocationGranularity();
    {
        std::ofstream(path) << std::string(3 * granularity, 'o');  // replaced, not reused
        FileMapping writer(path, "");
        ASSERT_TRUE(writer.Create(granularity + 100, 0, kExportFileFlags));
        MappedView view(&writer, true, FileMapping::kAccessAll);
        std::memcpy(static_cast<char*>(view.DataChecked(granularity + 10)), "xyz", 3);
    }
    EXPECT_EQ(testsupport::ReadWholeFile(path).size(), granularity + 100);

    // A range past the first granule is mapped from the granule on.
    FileMapping reader(path, "");
    ASSERT_TRUE(reader.Create(0, 0, kImportFileFlags));
    unsigned int delta = 0;
    auto* base = static_cast<char*>(reader.MapRange(granularity + 10, 3, delta, 1));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(delta, 10u);
    EXPECT_EQ(std::string(base + delta, 3), "xyz");
    EXPECT_TRUE(reader.Unmap(base));
    EXPECT_FALSE(reader.Unmap(base));

    std::ofstream(dir.File("empty")).close();
    FileMapping empty(dir.File("empty"), "");
    EXPECT_FALSE(empty.Create(0, 0, kImportFileFlags));
    EXPECT_EQ(empty.GetError(), FileMapping::kErrorPlatform);
    FileMapping absent(dir.File("absent"), "");
    EXPECT_FALSE(absent.Create(0, 0, kImportFileFlags));
    EXPECT_EQ(absent.GetError(), FileMapping::kErrorOpenFile);
    FileMapping created(dir.File("absent"), "");
    ASSERT_TRUE(created.Create(300, 0, 0x20));
    EXPECT_EQ(std::filesystem::file_size(dir.File("absent")), 300u);

    MappedView unmapped(nullptr, true, FileMapping::kAccessRead);
    EXPECT_EQ(unmapped.Data(), nullptr);
    try {
        unmapped.DataChecked();
        ADD_FAILURE() << "no exception";
    } catch (const MDException& e) {
        EXPECT_STREQ(e.GetTypeName(), "Execption");
        EXPECT_STREQ(e.GetMessage(), "Meomory error");
    }
}

}  // namespace
}  // namespace vell
