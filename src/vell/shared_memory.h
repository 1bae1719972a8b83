#pragma once

#include <cstdint>
#include <string>

namespace vell {

// Memory that other processes can find by name: the POSIX shared-memory object "/" + name.
//
// The object that creates a name owns it: it keeps an exclusive flock on it while it holds it
// and unlinks the name when it goes, so the name is free again once its creator is gone. A
// name whose object carries no lock was left by a creator that died; it counts as free, and
// the next Create takes it over with fresh, zeroed contents. Creating a name that a live
// object holds succeeds with Existed() set and maps nothing: the name is taken.
//
// Nothing here throws. Not thread-safe: one object belongs to one thread at a time.
class SharedMemory {
public:
    explicit SharedMemory(std::string name) : name_(std::move(name)) {}
    // Unmaps the memory, and unlinks the name when this object created it.
    ~SharedMemory();
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // Creates the named object with `size` bytes and maps it for reading and writing, or finds
    // it held (Existed()). False when it can be neither.
    bool Create(uint64_t size);
    bool Existed() const { return existed_; }
    // The mapped memory; null unless this object created it.
    uint8_t* Data() const { return data_; }

    // Backs the first `end` bytes with memory now, so that writing them later cannot fault
    // when the system's shared memory runs out. False when the memory cannot be had.
    bool Commit(uint64_t end);

private:
    bool Claim(uint64_t size);
    std::string ObjectName() const { return "/" + name_; }

    std::string name_;
    int fd_ = -1;
    bool owner_ = false;  // holds the name's lock and unlinks it when going
    bool existed_ = false;
    uint64_t size_ = 0;
    uint8_t* data_ = nullptr;
};

}  // namespace vell
