#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vell {

// One memory mapping: either of a file on disk, or of shared memory that other processes
// can open by name (a POSIX shared-memory object named "/" + the mapping name).
//
// A named shared-memory mapping belongs to the object that created it: that object keeps
// an exclusive flock on it while it holds it and unlinks the name when it closes, so the
// name is free again once its creator is gone. A name whose object carries no lock was left
// by a creator that died; it counts as not existing and the next Create takes it over (with
// fresh, zeroed contents). An object that opens a name another live object holds reports
// Existed() and shares the memory, but never unlinks the name.
//
// Nothing here throws; failures are told by the result and GetError(). Not thread-safe:
// one object belongs to one thread at a time.
class FileMapping {
public:
    // Create flags.
    static constexpr unsigned int kMustExist = 0x001;
    static constexpr unsigned int kMustBeNew = 0x002;
    static constexpr unsigned int kReadOnly = 0x004;
    static constexpr unsigned int kCreateFile = 0x020;        // create a missing file, sized
    static constexpr unsigned int kAlwaysCreateFile = 0x040;  // replace any existing file
    static constexpr unsigned int kOpenFile = 0x080;          // the default
    static constexpr unsigned int kOpenNamed = 0x100;         // open a named mapping only

    // View access of Map and MapRange.
    static constexpr int kAccessRead = 0x1;
    static constexpr int kAccessWrite = 0x2;
    static constexpr int kAccessAll = 0x4;

    // GetError() values.
    static constexpr uint32_t kErrorPlatform = 0;  // a file was open already, or mapping failed
    static constexpr uint32_t kErrorNone = 1;
    static constexpr uint32_t kErrorMappingHeld = 3;
    static constexpr uint32_t kErrorOpenFile = 4;
    static constexpr uint32_t kErrorCreateFile = 5;
    static constexpr uint32_t kErrorSizeFile = 6;
    static constexpr uint32_t kErrorExisted = 7;
    static constexpr uint32_t kErrorNotExisted = 8;
    static constexpr uint32_t kErrorNoMapping = 9;
    static constexpr uint32_t kErrorNoName = 10;

    FileMapping() = default;
    explicit FileMapping(std::string mapping_name);
    FileMapping(std::string file_name, std::string mapping_name);
    // Closes the mapping and unmaps every view still mapped from this object.
    ~FileMapping();
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;

    // Creates or opens the mapping of size_high:size_low bytes as the flags say. With a file
    // name the file is opened (or created) and mapped, a size of 0 mapping the whole file
    // and a larger size growing a writable file; without one the mapping is shared memory,
    // named by the mapping name or anonymous when it is empty.
    bool Create(unsigned int size_low, unsigned int size_high, unsigned int flags);
    // Create(size, 0, 0x28) on shared memory of that name, then Map(kAccessAll).
    void* CreateShared(std::string name, unsigned int size);

    // A view of the whole mapping, or null.
    void* Map(int access);
    // A view that holds [offset, offset + size): it starts at offset rounded down to
    // AllocationGranularity(), and `delta` receives where offset lies inside it.
    void* MapRange(uint64_t offset, unsigned int size, unsigned int& delta, int access);
    // Writes the first `size` bytes of a view back to its file (all of it when 0).
    bool Flush(void* view, unsigned int size);
    bool Unmap(void* view);

    // Backs the first `end` bytes of a shared-memory mapping with memory now, so that
    // writing them later cannot fault when the system's shared memory runs out. False when
    // the memory cannot be had.
    bool Commit(uint64_t end);

    bool Existed() const { return existed_; }
    uint32_t GetError() const { return last_error_; }
    // Bytes of the mapping; 0 while none is held.
    uint64_t Size() const { return size_; }
    // Closes the mapping (unlinking a name this object created) and the file. Views stay
    // mapped until unmapped.
    void Close();

    // The alignment of the offsets that MapRange maps from.
    static uint32_t AllocationGranularity();

private:
    bool Fail(uint32_t error);
    bool CloseAndFail(uint32_t error);
    bool OpenNamed(unsigned int flags);
    bool OpenFile(uint64_t size, unsigned int flags);
    bool MapFile(uint64_t size, unsigned int flags);
    bool CreateSharedMemory(uint64_t size, unsigned int flags);
    bool CreateAnonymousMemory(uint64_t size);
    // Opens or takes over the named object; sets existed_ and owner_.
    bool ClaimNamedObject(uint64_t size);
    bool CheckExistence(unsigned int flags);
    void* MapAt(uint64_t offset, uint64_t length, int access);
    std::string ObjectName() const { return "/" + mapping_name_; }

    int mapping_fd_ = -1;  // shared-memory object; -1 when none
    int file_fd_ = -1;     // -1 when no file is open
    bool mapping_held_ = false;
    std::string file_name_;
    std::string mapping_name_;
    bool existed_ = false;
    uint32_t last_error_ = kErrorNone;
    uint64_t size_ = 0;
    bool read_only_ = false;
    bool owner_ = false;               // holds the name's lock and unlinks it on Close
    std::map<void*, uint64_t> views_;  // base address -> length, of views still mapped
};

// A view of a FileMapping, unmapped when the object goes away. The mapping is not owned and
// must outlive the view.
class MappedView {
public:
    MappedView(FileMapping* mapping, bool map_now, int access);
    MappedView(FileMapping* mapping, uint64_t offset, unsigned int size, int access);
    ~MappedView();
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;

    // Unmap the current view and map anew; true when a view is mapped.
    bool Remap(int access);
    bool RemapRange(uint64_t offset, unsigned int size, int access);
    void Unmap();

    // The requested position, or null when nothing is mapped.
    void* Data() const;
    // As Data(), plus `extra` bytes; throws MDException ("Execption", "Meomory error") when
    // nothing is mapped.
    void* DataChecked(uint64_t extra = 0) const;

private:
    FileMapping* mapping_;
    void* base_ = nullptr;
    unsigned int offset_ = 0;
};

}  // namespace vell
