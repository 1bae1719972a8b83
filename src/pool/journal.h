#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brindle {

// The file number of a record's entry that holds the change notes of the layers above
// (Pager::AddChangeNote) rather than bytes of a data file.
inline constexpr uint32_t kNotesFile = 0;

// One committed change of a pool as it goes to the journal: the bytes of every area of the
// data files that the change rewrote (whole pages, enciphered as on disk, and file heads).
class JournalRecord {
public:
    JournalRecord();
    void Add(uint32_t file, uint32_t position, const uint8_t* bytes, uint32_t length);
    // Makes room for `count` more entries of `length` bytes each, so that adding them copies
    // nothing twice.
    void Reserve(size_t count, uint32_t length);
    uint32_t EntryCount() const { return entries_; }
    bool Empty() const { return entries_ == 0; }

private:
    friend class Journal;
    std::vector<uint8_t> bytes_;  // header room, then the entries
    uint32_t entries_ = 0;
};

// What a journal held when it was read at open.
struct JournalScan {
    uint64_t records = 0;        // valid records, in order, from the start
    uint64_t valid_end = 0;      // where the last of them ends
    uint64_t last_sequence = 0;  // the number of the last of them
    uint64_t run = 0;            // their run (0: none)
    // A record that fails its checks although it was written whole before (valid records of
    // the same run follow it): damage, not a record torn by a crash. Replay stops before it.
    bool damaged = false;
    uint64_t damaged_sequence = 0;  // the damaged record's number
    uint64_t dropped_records = 0;   // valid records after the damage, not replayed
};

// The pool's journal: a file beside the data files to which every change is appended, whole,
// before any of it reaches the data files. A record is
//
//   0   u32  "JRNL" (0x4C4E524A)     24  u64  run: a random number drawn whenever the
//   4   u32  format version (2)               journal is emptied
//   8   u64  sequence number         32  u64  boot: the system boot the record was written in
//   16  u32  entry count             40  u64  sequence number of the last record known synced
//   20  u32  length of the entries   48  entries: u32 file, u32 position, u32 length, bytes
//   then u32 CRC-32C of everything before it, and u32 commit mark "CMIT" (0x54494D43)
//
// all little-endian. A record counts only when it is complete, its checksum matches, its
// commit mark is there, its run is the first record's and its number follows the one before.
// Reading stops at the first that does not. Records of an earlier run left past the end of a
// journal that was emptied and written again never count.
//
// Whether a failing record is a torn tail or damage: when a valid record of the same run
// follows it, it was written whole, unless the system went down in between (a power cut
// loses writes that were not synced, in any order). So it is damage when the record was
// written in the current boot, or when a later record says it had been synced.
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

    // Opens the journal at path, creating it when `create` is set (`created` tells whether it
    // was), and finds the end of its valid records. `read_only`: opened for reading only
    // (Append, Reset and Remove then fail), and nothing is read yet (Replay and ReadSince
    // read what they need); a missing journal is then an empty one.
    bool Open(const std::string& path, bool create, bool& created, bool read_only = false);
    // The records another process appended: reads [from, to) and calls `take` for each valid
    // record of `run` numbered on from `next_sequence`, in order. `read_to` and
    // `last_sequence` end after the last record taken. False when the file cannot be read;
    // records that stop short of `to` (the journal was emptied meanwhile) end the reading.
    using RecordTaker = std::function<void(uint64_t sequence, const std::vector<Entry>& entries)>;
    bool ReadSince(uint64_t from, uint64_t to, uint64_t run, uint64_t next_sequence,
                   const RecordTaker& take, uint64_t& read_to, uint64_t& last_sequence) const;
    // Continues after what another process appended: the next record goes at `end`, in
    // `run`, numbered `next_sequence`.
    void Adopt(uint64_t end, uint64_t run, uint64_t next_sequence);
    // The run records are appended in.
    uint64_t Run() const { return run_; }
    // Reads every valid record and calls `apply` for each of its entries, in order; stops and
    // returns false when `apply` does. `scan` tells what was found.
    bool Replay(const std::function<bool(const Entry&)>& apply, JournalScan& scan);
    // Appends the record after the last valid one, and syncs it when asked. On failure
    // nothing of the record is left behind (the journal is cut back to where it was).
    bool Append(JournalRecord& record, bool sync);
    // Syncs everything appended so far. May run beside Append on another thread; `appended`
    // is LastSequence() as read (under the caller's lock) before the call: records up to it
    // are then known synced.
    bool Sync(uint64_t appended);
    // Empties the journal and starts a new run (and syncs that when asked).
    bool Reset(bool sync);
    // Closes and deletes the journal file.
    bool Remove();
    void Close();

    // Where the valid records end (where the next is appended).
    uint64_t Size() const { return end_; }
    // Bytes in the file, valid records or not; false when it cannot be told.
    bool FileSize(uint64_t& size) const;
    // The number of the last record appended (0: none since the journal was opened empty).
    uint64_t LastSequence() const { return next_sequence_ - 1; }
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

    // The journal file of the pool whose data files have the base name `base_path`.
    static std::string PathFor(const std::string& base_path);
    // Where a journal found damaged at open is kept for inspection.
    static std::string DamagedPathFor(const std::string& base_path);

private:
    bool ReadAll(std::vector<uint8_t>& bytes);
    JournalScan Scan(const std::vector<uint8_t>& bytes,
                     const std::function<bool(const Entry&)>* apply, bool& stopped) const;
    void LookPastEnd(const std::vector<uint8_t>& bytes, uint64_t first_run,
                     uint64_t expected_sequence, JournalScan& scan) const;

    std::string path_;
    int fd_ = -1;
    uint64_t end_ = 0;
    uint64_t next_sequence_ = 1;
    uint64_t run_ = 0;
    std::atomic<uint64_t> synced_through_{0};
};

}  // namespace brindle
