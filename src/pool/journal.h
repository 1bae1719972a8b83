#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brindle {

// One committed change of a pool as it goes to the journal: the bytes of every area of the
// data files that the change rewrote (whole pages, enciphered as on disk, and file heads).
class JournalRecord {
public:
    JournalRecord();
    void Add(uint32_t file, uint32_t position, const uint8_t* bytes, uint32_t length);
    uint32_t EntryCount() const { return entries_; }
    bool Empty() const { return entries_ == 0; }

private:
    friend class Journal;
    std::vector<uint8_t> bytes_;  // header room, then the entries
    uint32_t entries_ = 0;
};

// The pool's journal: a file beside the data files to which every change is appended, whole,
// before any of it reaches the data files. A record is
//
//   0   u32  "JRNL" (0x4C4E524A)     16  u32  entry count
//   4   u32  format version (1)      20  u32  length of the entries
//   8   u64  sequence number         24  entries: u32 file, u32 position, u32 length, bytes
//   then u32 CRC-32C of everything before it, and u32 commit mark "CMIT" (0x54494D43)
//
// all little-endian. Sequence numbers count from 1 since the journal was last emptied. A
// record counts only when it is complete, its checksum matches, its commit mark is there and
// its number follows the one before; reading stops at the first that does not, so a record
// torn by a crash is dropped with everything after it.
class Journal {
public:
    struct Entry {
        uint32_t file;
        uint32_t position;
        const uint8_t* bytes;
        uint32_t length;
    };

    Journal() = default;
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Opens (creating) the journal at path and finds the end of its valid records.
    bool Open(const std::string& path);
    // Calls `apply` for every entry of every valid record, in order; stops and returns false
    // when `apply` does. `records` counts the valid records.
    bool Replay(const std::function<bool(const Entry&)>& apply, uint64_t& records);
    // Appends the record after the last valid one, and syncs it when asked. On failure
    // nothing of the record is left behind (the journal is cut back to where it was).
    bool Append(JournalRecord& record, bool sync);
    bool Sync();
    // Empties the journal (and syncs that when asked).
    bool Reset(bool sync);
    // Closes and deletes the journal file.
    bool Remove();
    void Close();

    uint64_t Size() const { return end_; }
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

    // The journal file of the pool whose data files have the base name `base_path`.
    static std::string PathFor(const std::string& base_path);

private:
    bool ReadAll(std::vector<uint8_t>& bytes);
    // Parses valid records from the start of `bytes`; returns the end of the last valid one.
    uint64_t Scan(const std::vector<uint8_t>& bytes, const std::function<bool(const Entry&)>* apply,
                  uint64_t& records, bool& stopped) const;

    std::string path_;
    int fd_ = -1;
    uint64_t end_ = 0;
    uint64_t next_sequence_ = 1;
};

}  // namespace brindle
