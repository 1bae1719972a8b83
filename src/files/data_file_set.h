#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "vell/thread_annotations.h"

namespace brindle {

// The numbered data files of one pool: base name + "%03d", files 1 to 300. Offers positioned
// whole-buffer reads and writes by file number and byte position, length control, flushing,
// growth by one file and deletion of the whole set. It knows nothing of pages.
//
// How a set holds its files (SetSharing, before Open): kExclusive (the default) puts an
// exclusive flock on every file, so that a second open of the same files, from this process
// or another, fails as a sharing violation would, while other processes can still read them;
// kShared puts a shared flock on them (several writing processes that coordinate by other
// means, none of them exclusive); kReadOnly opens them for reading only, takes no lock and
// never creates a file. Every failure writes a diagnostic line and returns false; nothing
// throws.
//
// Read, Write, ResetSize, GetSize and Flush lock the file they touch, so different files work
// in parallel; none of them calls another, so the lock is never taken twice. Open, AddFile,
// CloseFile, CloseAll, DeleteAll and Reset take no lock: the pool calls them only while nobody
// else uses the set.
class DataFileSet {
public:
    static constexpr int kMaxFiles = 300;
    // The file size bound every pool opens its set with.
    static constexpr uint32_t kPoolFileBound = 2097152000u;

    enum class Sharing { kExclusive, kShared, kReadOnly };

    DataFileSet();
    ~DataFileSet();
    DataFileSet(const DataFileSet&) = delete;
    DataFileSet& operator=(const DataFileSet&) = delete;

    // Set while the set is not open; kept across Reset.
    void SetSharing(Sharing sharing) { sharing_ = sharing; }
    Sharing GetSharing() const { return sharing_; }
    bool Open(const std::string& base_name, int file_count, bool create, uint32_t bound);
    bool Read(void* buffer, uint32_t length, int file, uint32_t position)
        EXCLUDES(slots_[file].lock);
    bool Write(const void* buffer, uint32_t length, int file, uint32_t position)
        EXCLUDES(slots_[file].lock);
    bool ResetSize(uint32_t length, int file) EXCLUDES(slots_[file].lock);
    bool GetSize(int file, uint32_t& length) EXCLUDES(slots_[file].lock);
    bool GetSize64(int file, uint64_t& length) EXCLUDES(slots_[file].lock);
    bool Flush(int file) EXCLUDES(slots_[file].lock);
    // The new file's number; 0 when it cannot be created; -1 when the set holds 300 files.
    // A file of that number left over from a change that never committed is taken over.
    int AddFile();
    // Opens the file after the set's last one as it is, creating it when it does not exist:
    // for writing a journal back, which must not lose what a file already holds. The new
    // file's number, or 0 when it cannot be opened.
    int OpenNextFile();
    // Closes and deletes the set's last file (never file 1): undoes an AddFile.
    bool RemoveLastFile();
    bool CloseFile(int file);
    bool CloseAll();
    // Deletes files 1..count; stops at the first that cannot be deleted, leaving the set as
    // it is. When all are gone the set is reset.
    bool DeleteAll();
    void Reset();

    int FileCount() const { return file_count_.load(std::memory_order_acquire); }
    bool IsOpen() const { return opened_; }
    const std::string& BaseName() const { return base_name_; }
    // "%s%03d" of the base name and the number.
    static std::string FileName(const std::string& base_name, int file);

private:
    struct Slot {
        // Set and cleared only by the calls that take no lock (see above).
        int fd = -1;
        // Serialises the calls on the file, a leaf lock: nothing else is taken under it.
        vell::Mutex lock;
    };
    bool UsableSlot(int file) const;
    int OpenOne(const std::string& name, bool create);
    bool SizeOf(int file, uint64_t& length) REQUIRES(slots_[file].lock);

    std::string base_name_;
    // Raised by the writer while a checkpoint writes files of lower numbers.
    std::atomic<int> file_count_{0};
    uint32_t bound_ = 0;
    bool opened_ = false;
    Sharing sharing_ = Sharing::kExclusive;
    Slot slots_[kMaxFiles + 1];
};

}  // namespace brindle
