#include "vell/shared_memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace vell {
namespace {

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

TEST(SharedMemoryTest, LiveHoldersInOtherProcessesCountAndDeadOnesAreTakenOver) {
    const std::string name = UniqueName("process");
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SharedMemory memory(name);
        char byte = memory.Create(4096) ? 1 : 0;
        if (byte == 1) {
            std::strcpy(reinterpret_cast<char*>(memory.Data()), "stale");
        }
        (void)!write(ready[1], &byte, 1);
        (void)!read(release[0], &byte, 1);
        _exit(0);  // dies holding the name: no unlink
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 1);
    {
        SharedMemory while_alive(name);
        ASSERT_TRUE(while_alive.Create(4096));
        EXPECT_TRUE(while_alive.Existed());
    }
    ASSERT_EQ(write(release[1], &byte, 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(ObjectExists(name));  // left behind by the dead holder

    {
        SharedMemory taker(name);
        ASSERT_TRUE(taker.Create(4096));
        EXPECT_FALSE(taker.Existed());
        EXPECT_EQ(taker.Data()[0], 0);  // the dead holder's contents are gone
    }
    EXPECT_FALSE(ObjectExists(name));
    for (int fd : {ready[0], ready[1], release[0], release[1]}) {
        close(fd);
    }
}

}  // namespace
}  // namespace vell
