#include "vell/shared_memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace vell {
namespace {

bool ObjectExists(const std::string& name) {
    int fd = shm_open(("/" + name).c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

TEST(SharedMemoryTest, LiveHoldersInOtherProcessesCountAndDeadOnesAreTakenOver) {
    const std::string name = "brindle_test_process_" + std::to_string(getpid());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SharedMemory memory(name);
        char byte = memory.Create(4096) ? 1 : 0;
        if (byte == 1) {
            std::strcpy(reinterpret_cast<char*>(memory.Data()), "stale");
        }
        (void)!write(ready[1], &byte, 1);
        pause();  // killed while it holds the name
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 1);
    {
        SharedMemory while_alive(name);
        ASSERT_TRUE(while_alive.Create(4096));
        EXPECT_TRUE(while_alive.Existed());
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_TRUE(ObjectExists(name));  // left behind by the dead holder
    {
        SharedMemory taker(name);
        ASSERT_TRUE(taker.Create(4096));
        EXPECT_FALSE(taker.Existed());
        EXPECT_EQ(taker.Data()[0], 0);  // the dead holder's contents are gone
    }
    EXPECT_FALSE(ObjectExists(name));
}

}  // namespace
}  // namespace vell
