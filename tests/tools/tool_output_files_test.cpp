// The files the tool writes for the user (export, dump -o): what may stand at the path, and
// the mode the written file gets.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>

#include "tool_fixture.h"

namespace tooltest {
namespace {

namespace fs = std::filesystem;

struct stat Status(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status;
}

mode_t Umask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

class OutputFileTest : public ToolTest {
protected:
    void SetUp() override {
        Ok({"mkkey", "Vault", "--hidden"});
        Ok({"set", "Vault", "token", "s3cr3t"});
    }
    // Each command that writes an output file, aimed at `file`.
    static std::vector<Args> Writers(const std::string& file) {
        return {{"export", "--overwrite", "Vault", file}, {"dump", "Vault", "-o", file}};
    }
};

TEST_F(OutputFileTest, RefusesWhatIsNotARegularFileAndLeavesItAsItWas) {
    const std::string fifo = File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    // A reader holds the pipe open, so that a tool writing into it is not left waiting.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    fs::create_directory(File("folder"));
    std::vector<std::string> targets = {fifo, File("folder")};
    // A device node of our own, where the test may make one (as root): a copy of /dev/null.
    if (mknod(File("device").c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0) {
        targets.push_back(File("device"));
    }
    for (const std::string& target : targets) {
        const mode_t kind = Status(target).st_mode & S_IFMT;
        for (const Args& args : Writers(target)) {
            const ToolRun run = Brindle(args);
            EXPECT_EQ(run.status, 1) << args[0] << " " << target << ": " << run.err;
            EXPECT_EQ(Status(target).st_mode & S_IFMT, kind) << args[0] << " replaced " << target;
        }
    }
    char byte = 0;
    EXPECT_LE(read(reader, &byte, 1), 0) << "something was written into the pipe";
    close(reader);
    EXPECT_EQ(fs::directory_iterator(File("folder")), fs::directory_iterator());
}

TEST_F(OutputFileTest, WritesThroughASymbolicLinkAndKeepsTheModeOfWhatItReplaces) {
    for (const Args& args : Writers(File("link"))) {
        Write("target", "old");
        ASSERT_EQ(chmod(File("target").c_str(), 0640), 0);
        fs::remove(File("link"));
        fs::create_symlink("target", File("link"));
        Ok(args);
        EXPECT_TRUE(fs::is_symlink(File("link"))) << args[0] << " replaced the link";
        EXPECT_NE(Read("target"), "old") << args[0] << " did not write through the link";
        EXPECT_EQ(Status(File("target")).st_mode & 07777, 0640u) << args[0];
    }
}

TEST_F(OutputFileTest, AReplacedFileKeepsItsModeAndANewOneIsPrivate) {
    for (const Args& args : Writers(File("secret"))) {
        Write("secret", "old");
        ASSERT_EQ(chmod(File("secret").c_str(), 0600), 0);
        Ok(args);
        EXPECT_NE(Read("secret"), "old") << args[0];
        EXPECT_EQ(Status(File("secret")).st_mode & 07777, 0600u) << args[0];

        fs::remove(File("secret"));
        Ok(args);
        EXPECT_EQ(Status(File("secret")).st_mode & 07777, 0600u & ~Umask()) << args[0];
    }
}

}  // namespace
}  // namespace tooltest
