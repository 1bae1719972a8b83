#include "pool/journal.h"

#include <fcntl.h>

#include <cerrno>

#include "vell/checksum.h"
#include "vell/endian.h"
#include "vell/file_system.h"
#include "vell/output.h"

namespace brindle {
namespace {

constexpr uint32_t kRecordMagic = 0x4C4E524Au;
constexpr uint32_t kCommitMark = 0x54494D43u;
constexpr uint32_t kJournalVersion = 1;
constexpr uint32_t kRecordHeadSize = 24;
constexpr uint32_t kEntryHeadSize = 12;
constexpr uint32_t kRecordTailSize = 8;

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

Journal::~Journal() {
    Close();
}

std::string Journal::PathFor(const std::string& base_path) {
    return base_path + ".journal";
}

bool Journal::Open(const std::string& path) {
    Close();
    vell::FileSystem& fs = vell::FileSystem::Current();
    fd_ = fs.Open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
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
    uint64_t records = 0;
    bool stopped = false;
    end_ = Scan(bytes, nullptr, records, stopped);
    next_sequence_ = records + 1;
    return true;
}

void Journal::Close() {
    if (fd_ >= 0) {
        vell::FileSystem::Current().Close(fd_);
        fd_ = -1;
    }
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

uint64_t Journal::Scan(const std::vector<uint8_t>& bytes,
                       const std::function<bool(const Entry&)>* apply, uint64_t& records,
                       bool& stopped) const {
    uint64_t at = 0;
    records = 0;
    stopped = false;
    const uint64_t size = bytes.size();
    while (size - at >= kRecordHeadSize + kRecordTailSize) {
        const uint8_t* head = bytes.data() + at;
        const uint32_t entries = vell::LoadU32(head + 16);
        const uint64_t body = vell::LoadU32(head + 20);
        if (vell::LoadU32(head) != kRecordMagic || vell::LoadU32(head + 4) != kJournalVersion ||
            vell::LoadU64(head + 8) != records + 1 ||
            body > size - at - kRecordHeadSize - kRecordTailSize) {
            break;
        }
        const uint8_t* tail = head + kRecordHeadSize + body;
        if (vell::LoadU32(tail + 4) != kCommitMark ||
            vell::LoadU32(tail) != vell::Crc32c(head, kRecordHeadSize + body)) {
            break;
        }
        // Entries must tile the body exactly.
        uint64_t offset = 0;
        uint32_t seen = 0;
        std::vector<Entry> parsed;
        while (offset + kEntryHeadSize <= body) {
            const uint8_t* entry = head + kRecordHeadSize + offset;
            uint32_t length = vell::LoadU32(entry + 8);
            if (length > body - offset - kEntryHeadSize) {
                break;
            }
            parsed.push_back(
                {vell::LoadU32(entry), vell::LoadU32(entry + 4), entry + kEntryHeadSize, length});
            offset += kEntryHeadSize + length;
            ++seen;
        }
        if (offset != body || seen != entries) {
            break;
        }
        if (apply != nullptr) {
            for (const Entry& entry : parsed) {
                if (!(*apply)(entry)) {
                    stopped = true;
                    return at;
                }
            }
        }
        at += kRecordHeadSize + body + kRecordTailSize;
        ++records;
    }
    return at;
}

bool Journal::Replay(const std::function<bool(const Entry&)>& apply, uint64_t& records) {
    std::vector<uint8_t> bytes;
    if (fd_ < 0 || !ReadAll(bytes)) {
        return false;
    }
    bool stopped = false;
    Scan(bytes, &apply, records, stopped);
    return !stopped;
}

bool Journal::Append(JournalRecord& record, bool sync) {
    if (fd_ < 0) {
        return false;
    }
    std::vector<uint8_t>& bytes = record.bytes_;
    const uint32_t body = static_cast<uint32_t>(bytes.size() - kRecordHeadSize);
    vell::StoreU32(&bytes[0], kRecordMagic);
    vell::StoreU32(&bytes[4], kJournalVersion);
    vell::StoreU64(&bytes[8], next_sequence_);
    vell::StoreU32(&bytes[16], record.entries_);
    vell::StoreU32(&bytes[20], body);
    const uint32_t crc = vell::Crc32c(bytes.data(), bytes.size());
    const size_t tail = bytes.size();
    bytes.resize(tail + kRecordTailSize);
    vell::StoreU32(&bytes[tail], crc);
    vell::StoreU32(&bytes[tail + 4], kCommitMark);

    vell::FileSystem& fs = vell::FileSystem::Current();
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
    ++next_sequence_;
    return true;
}

bool Journal::Sync() {
    if (fd_ < 0 || vell::FileSystem::Current().Sync(fd_) != 0) {
        vell::OutputLine("Sync journal failed errorid:%d", errno);
        return false;
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
    next_sequence_ = 1;
    return !sync || Sync();
}

bool Journal::Remove() {
    Close();
    if (path_.empty()) {
        return true;
    }
    return vell::FileSystem::Current().Unlink(path_) == 0 || errno == ENOENT;
}

}  // namespace brindle
