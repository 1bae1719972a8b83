#include "pool/journal.h"

#include <fcntl.h>

#include <cerrno>
#include <mutex>
#include <random>

#include "vell/checksum.h"
#include "vell/endian.h"
#include "vell/file_system.h"
#include "vell/output.h"

namespace brindle {
namespace {

constexpr uint32_t kRecordMagic = 0x4C4E524Au;
constexpr uint32_t kCommitMark = 0x54494D43u;
constexpr uint32_t kJournalVersion = 2;
constexpr uint32_t kRecordHeadSize = 48;
constexpr uint32_t kEntryHeadSize = 12;
constexpr uint32_t kRecordTailSize = 8;

uint64_t NewRun() {
    static std::mt19937_64 generator{std::random_device{}()};
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    uint64_t run = 0;
    while (run == 0) {
        run = generator();
    }
    return run;
}

struct RecordView {
    uint64_t sequence = 0;
    uint64_t run = 0;
    uint64_t boot = 0;
    uint64_t synced_through = 0;
    uint64_t length = 0;  // the whole record
    std::vector<Journal::Entry> entries;
};

// Parses the record at `at` when it is whole and its checks pass.
bool ParseRecord(const std::vector<uint8_t>& bytes, uint64_t at, RecordView& view) {
    const uint64_t size = bytes.size();
    if (at > size || size - at < kRecordHeadSize + kRecordTailSize) {
        return false;
    }
    const uint8_t* head = bytes.data() + at;
    const uint32_t entries = vell::LoadU32(head + 16);
    const uint64_t body = vell::LoadU32(head + 20);
    if (vell::LoadU32(head) != kRecordMagic || vell::LoadU32(head + 4) != kJournalVersion ||
        body > size - at - kRecordHeadSize - kRecordTailSize) {
        return false;
    }
    const uint8_t* tail = head + kRecordHeadSize + body;
    if (vell::LoadU32(tail + 4) != kCommitMark ||
        vell::LoadU32(tail) != vell::Crc32c(head, kRecordHeadSize + body)) {
        return false;
    }
    // Entries must tile the body exactly.
    view.entries.clear();
    uint64_t offset = 0;
    while (offset + kEntryHeadSize <= body) {
        const uint8_t* entry = head + kRecordHeadSize + offset;
        uint32_t length = vell::LoadU32(entry + 8);
        if (length > body - offset - kEntryHeadSize) {
            return false;
        }
        view.entries.push_back(
            {vell::LoadU32(entry), vell::LoadU32(entry + 4), entry + kEntryHeadSize, length});
        offset += kEntryHeadSize + length;
    }
    if (offset != body || view.entries.size() != entries) {
        return false;
    }
    view.sequence = vell::LoadU64(head + 8);
    view.run = vell::LoadU64(head + 24);
    view.boot = vell::LoadU64(head + 32);
    view.synced_through = vell::LoadU64(head + 40);
    view.length = kRecordHeadSize + body + kRecordTailSize;
    return true;
}

}  // namespace

JournalRecord::JournalRecord() : bytes_(kRecordHeadSize, 0) {}

void JournalRecord::Add(uint32_t file, uint32_t position, const uint8_t* bytes, uint32_t length) {
    size_t at = bytes_.size();
    bytes_.resize(at + kEntryHeadSize + length);
    vell::StoreU32(&bytes_[at], file);
    vell::StoreU32(&bytes_[at + 4], position);
    vell::StoreU32(&bytes_[at + 8], length);
    std::copy(bytes, bytes + length, bytes_.begin() + static_cast<ptrdiff_t>(at + kEntryHeadSize));
    ++entries_;
}

void JournalRecord::Reserve(size_t count, uint32_t length) {
    bytes_.reserve(bytes_.size() + count * (kEntryHeadSize + length));
}

Journal::~Journal() {
    Close();
}

std::string Journal::PathFor(const std::string& base_path) {
    return base_path + ".journal";
}

std::string Journal::DamagedPathFor(const std::string& base_path) {
    return base_path + ".journal-damaged";
}

bool Journal::Open(const std::string& path, bool create, bool& created, bool read_only) {
    Close();
    created = false;
    vell::FileSystem& fs = vell::FileSystem::Current();
    if (read_only) {
        path_ = path;
        fd_ = fs.Open(path, O_RDONLY | O_CLOEXEC, 0);
        end_ = 0;
        run_ = 0;
        if (fd_ >= 0 || errno == ENOENT) {
            return true;
        }
    } else {
        fd_ = fs.Open(path, O_RDWR | O_CLOEXEC, 0600);
    }
    if (fd_ < 0 && errno == ENOENT && create) {
        fd_ = fs.Open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        created = fd_ >= 0;
    }
    if (fd_ < 0) {
        vell::OutputLine("Open journal failed errorid:%d", errno);
        return false;
    }
    path_ = path;
    std::vector<uint8_t> bytes;
    if (!ReadAll(bytes)) {
        Close();
        return false;
    }
    bool stopped = false;
    JournalScan scan = Scan(bytes, nullptr, stopped);
    end_ = scan.valid_end;
    next_sequence_ = scan.last_sequence + 1;
    RecordView first;
    run_ = scan.records > 0 && ParseRecord(bytes, 0, first) ? first.run : NewRun();
    return true;
}

void Journal::Close() {
    if (fd_ >= 0) {
        vell::FileSystem::Current().Close(fd_);
        fd_ = -1;
    }
}

bool Journal::FileSize(uint64_t& size) const {
    return fd_ >= 0 && vell::FileSystem::Current().Size(fd_, size) == 0;
}

bool Journal::ReadAll(std::vector<uint8_t>& bytes) {
    vell::FileSystem& fs = vell::FileSystem::Current();
    uint64_t size = 0;
    if (fs.Size(fd_, size) != 0) {
        vell::OutputLine("Read journal failed errorid:%d", errno);
        return false;
    }
    bytes.resize(size);
    uint64_t done = 0;
    while (done < size) {
        ssize_t got = fs.PRead(fd_, bytes.data() + done, size - done, static_cast<off_t>(done));
        if (got < 0) {
            vell::OutputLine("Read journal failed errorid:%d", errno);
            return false;
        }
        if (got == 0) {
            bytes.resize(done);  // cut meanwhile: what was read is all there is
            break;
        }
        done += static_cast<uint64_t>(got);
    }
    return true;
}

JournalScan Journal::Scan(const std::vector<uint8_t>& bytes,
                          const std::function<bool(const Entry&)>* apply, bool& stopped) const {
    JournalScan scan;
    stopped = false;
    uint64_t at = 0;
    uint64_t run = 0;
    uint64_t sequence = 0;
    RecordView view;
    while (ParseRecord(bytes, at, view)) {
        if (scan.records > 0 && (view.run != run || view.sequence != sequence + 1)) {
            break;
        }
        run = view.run;
        sequence = view.sequence;
        if (apply != nullptr) {
            for (const Entry& entry : view.entries) {
                if (!(*apply)(entry)) {
                    stopped = true;
                    scan.valid_end = at;
                    return scan;
                }
            }
        }
        at += view.length;
        ++scan.records;
        scan.last_sequence = sequence;
    }
    scan.valid_end = at;
    scan.run = run;
    if (at < bytes.size()) {
        LookPastEnd(bytes, run, sequence + 1, scan);
    }
    return scan;
}

// Looks for valid records past the first record that failed, to tell damage from a torn
// tail: those of the same run when some records were valid, any when none were. A record
// that only looks valid by chance would need a matching checksum.
void Journal::LookPastEnd(const std::vector<uint8_t>& bytes, uint64_t run,
                          uint64_t expected_sequence, JournalScan& scan) const {
    const uint64_t this_boot = vell::FileSystem::Current().BootId();
    const bool none_valid = scan.records == 0;
    RecordView view;
    bool written_whole = false;
    uint64_t found = 0;
    uint64_t first_found = 0;
    for (uint64_t at = scan.valid_end + 1; at + kRecordHeadSize <= bytes.size(); ++at) {
        if (vell::LoadU32(bytes.data() + at) != kRecordMagic || !ParseRecord(bytes, at, view)) {
            continue;
        }
        if (!none_valid && (view.run != run || view.sequence < expected_sequence)) {
            continue;
        }
        if (none_valid && found > 0 && view.run != run) {
            continue;
        }
        run = view.run;
        if (found++ == 0) {
            first_found = view.sequence;
        }
        const bool same_boot = view.boot != 0 && view.boot == this_boot;
        if (same_boot || (!none_valid && view.synced_through >= expected_sequence)) {
            written_whole = true;
        }
        at += view.length - 1;
    }
    if (written_whole) {
        scan.damaged = true;
        scan.damaged_sequence = none_valid ? first_found - 1 : expected_sequence;
        scan.dropped_records = found;
    }
}

bool Journal::ReadSince(uint64_t from, uint64_t to, uint64_t run, uint64_t next_sequence,
                        const RecordTaker& take, uint64_t& read_to, uint64_t& last_sequence) const {
    read_to = from;
    last_sequence = next_sequence - 1;
    if (to <= from) {
        return true;
    }
    if (fd_ < 0) {
        return false;
    }
    std::vector<uint8_t> bytes(to - from);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t got = vell::FileSystem::Current().PRead(
            fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(from + done));
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            bytes.resize(done);  // emptied meanwhile: what is there is all there is
            break;
        }
        done += static_cast<size_t>(got);
    }
    uint64_t at = 0;
    RecordView view;
    // Records the caller had already (its own, appended after the journal was emptied) are
    // passed over.
    while (ParseRecord(bytes, at, view) && view.run == run && view.sequence <= last_sequence + 1) {
        if (view.sequence == last_sequence + 1) {
            take(view.sequence, view.entries);
            last_sequence = view.sequence;
        }
        at += view.length;
    }
    read_to = from + at;
    return true;
}

void Journal::Adopt(uint64_t end, uint64_t run, uint64_t next_sequence) {
    end_ = end;
    run_ = run;
    next_sequence_ = next_sequence;
}

bool Journal::Replay(const std::function<bool(const Entry&)>& apply, JournalScan& scan) {
    std::vector<uint8_t> bytes;
    if (fd_ < 0 || !ReadAll(bytes)) {
        return false;
    }
    bool stopped = false;
    scan = Scan(bytes, &apply, stopped);
    return !stopped;
}

bool Journal::Append(JournalRecord& record, bool sync) {
    if (fd_ < 0) {
        return false;
    }
    std::vector<uint8_t>& bytes = record.bytes_;
    const uint32_t body = static_cast<uint32_t>(bytes.size() - kRecordHeadSize);
    vell::FileSystem& fs = vell::FileSystem::Current();
    vell::StoreU32(&bytes[0], kRecordMagic);
    vell::StoreU32(&bytes[4], kJournalVersion);
    vell::StoreU64(&bytes[8], next_sequence_);
    vell::StoreU32(&bytes[16], record.entries_);
    vell::StoreU32(&bytes[20], body);
    vell::StoreU64(&bytes[24], run_);
    vell::StoreU64(&bytes[32], fs.BootId());
    vell::StoreU64(&bytes[40], synced_through_.load(std::memory_order_acquire));
    const uint32_t crc = vell::Crc32c(bytes.data(), bytes.size());
    const size_t tail = bytes.size();
    bytes.resize(tail + kRecordTailSize);
    vell::StoreU32(&bytes[tail], crc);
    vell::StoreU32(&bytes[tail + 4], kCommitMark);

    size_t done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        ssize_t put = fs.PWrite(fd_, bytes.data() + done, bytes.size() - done,
                                static_cast<off_t>(end_ + done));
        if (put <= 0) {
            vell::OutputLine("Write journal failed errorid:%d", put < 0 ? errno : ENOSPC);
            ok = false;
            break;
        }
        done += static_cast<size_t>(put);
    }
    if (ok && sync && fs.Sync(fd_) != 0) {
        vell::OutputLine("Sync journal failed errorid:%d", errno);
        ok = false;
    }
    bytes.resize(tail);
    if (!ok) {
        // A record the caller is told failed must never be replayed.
        if (fs.Truncate(fd_, static_cast<off_t>(end_)) != 0) {
            vell::OutputLine("Cut journal failed errorid:%d", errno);
        }
        return false;
    }
    end_ += tail + kRecordTailSize;
    if (sync) {
        synced_through_.store(next_sequence_, std::memory_order_release);
    }
    ++next_sequence_;
    return true;
}

bool Journal::Sync(uint64_t appended) {
    if (fd_ < 0 || vell::FileSystem::Current().Sync(fd_) != 0) {
        vell::OutputLine("Sync journal failed errorid:%d", errno);
        return false;
    }
    uint64_t known = synced_through_.load(std::memory_order_acquire);
    while (appended > known &&
           !synced_through_.compare_exchange_weak(known, appended, std::memory_order_acq_rel)) {
    }
    return true;
}

bool Journal::Reset(bool sync) {
    vell::FileSystem& fs = vell::FileSystem::Current();
    if (fd_ < 0 || fs.Truncate(fd_, 0) != 0) {
        vell::OutputLine("Reset journal failed errorid:%d", errno);
        return false;
    }
    end_ = 0;
    run_ = NewRun();
    return !sync || Sync(LastSequence());
}

bool Journal::Remove() {
    Close();
    if (path_.empty()) {
        return true;
    }
    return vell::FileSystem::Current().Unlink(path_) == 0 || errno == ENOENT;
}

}  // namespace brindle
