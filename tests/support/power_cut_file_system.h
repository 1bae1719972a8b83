#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "vell/file_system.h"

namespace testsupport {

// What a sync is for, told from the name of the file it syncs: the journal (`*.journal`), a
// data file (a name ending in three digits), a directory, or anything else.
enum class SyncClass { kData, kJournal, kDirectory, kOther };

inline SyncClass ClassOfFile(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    const std::string journal = ".journal";
    if (name.size() > journal.size() &&
        name.compare(name.size() - journal.size(), journal.size(), journal) == 0) {
        return SyncClass::kJournal;
    }
    if (name.size() > 3 &&
        std::all_of(name.end() - 3, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return SyncClass::kData;
    }
    return SyncClass::kOther;
}

// One thing the library did to its files, as the power-cut file system logged it.
struct FileOp {
    enum Kind {
        kFound,          // a file that existed before it was first opened: content durable
        kCreate,         // path created (open with O_CREAT of a path that did not exist)
        kWrite,          // bytes written at offset
        kTruncate,       // length set to offset
        kExtend,         // space reserved up to offset: the length grows to it, never shrinks
        kSync,           // the file's writes and truncations made durable
        kUnlink,         // path removed
        kRename,         // path renamed to `to`
        kSyncDirectory,  // the entries of directory `path` made durable
        kCallStarted,    // a test's marker: call `offset` started
        kCallReturned,   // a test's marker: call `offset` returned
    };
    explicit FileOp(Kind what) : kind(what) {}

    Kind kind;
    uint64_t file = 0;           // the file (an id that survives renames) of every file operation
    std::string path;            // the entry created, removed or renamed; the directory synced
    std::string to;              // the new name of a rename
    uint64_t offset = 0;         // write position, new length, or the number of a call
    std::vector<uint8_t> bytes;  // what was written; for kFound the content found
    SyncClass sync_class = SyncClass::kOther;  // kSync and kSyncDirectory
    bool honoured = true;  // kSync and kSyncDirectory: false when the switch ignores its class
};

// A file system for power-cut tests: every call goes to the operating system, so the library
// works on real files, and every change is logged (FileOp) so that the state the disk could
// be in after a power cut at any point of the log can be worked out afterwards (DiskModel).
// Syncs are logged, not performed: what they make durable is the model's business, and a
// real fsync would only cost time. A class of syncs can be ignored (logged as not
// honoured), to show that a test catches a sync that is missing.
//
// Installs itself for its lifetime. Any thread may call it.
class PowerCutFileSystem : public vell::FileSystem {
public:
    PowerCutFileSystem() { previous_ = vell::FileSystem::Install(this); }
    ~PowerCutFileSystem() override { vell::FileSystem::Install(previous_); }
    PowerCutFileSystem(const PowerCutFileSystem&) = delete;
    PowerCutFileSystem& operator=(const PowerCutFileSystem&) = delete;

    // Syncs of this class are logged as not honoured from now on.
    void IgnoreSyncs(SyncClass ignored) {
        std::lock_guard lock(mutex_);
        ignored_.insert(ignored);
    }

    // Markers around a call of the test, so that a cut can be placed relative to calls.
    void MarkCallStarted(uint64_t call) { Mark(FileOp::kCallStarted, call); }
    void MarkCallReturned(uint64_t call) { Mark(FileOp::kCallReturned, call); }

    // The log so far, handed over (the log starts again empty). Take it only once the
    // library is done with the files.
    std::vector<FileOp> TakeLog() {
        std::lock_guard lock(mutex_);
        return std::exchange(log_, {});
    }

    int Open(const std::string& path, int flags, mode_t mode) override {
        std::lock_guard lock(mutex_);
        const std::string name = Normal(path);
        struct stat before;
        const bool existed = ::stat(name.c_str(), &before) == 0;
        const int fd = vell::FileSystem::Open(path, flags, mode);
        if (fd < 0) {
            return fd;
        }
        struct stat info;
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            return fd;
        }
        auto known = names_.find(name);
        uint64_t file = 0;
        if (known != names_.end()) {
            file = known->second;
        } else {
            file = ++last_file_;
            names_[name] = file;
            FileOp op{existed ? FileOp::kFound : FileOp::kCreate};
            op.file = file;
            op.path = name;
            if (existed) {
                op.bytes = ReadAll(fd, static_cast<uint64_t>(info.st_size));
            }
            log_.push_back(std::move(op));
        }
        paths_[file] = name;
        fds_[fd] = file;
        if ((flags & O_TRUNC) != 0) {
            Add(FileOp::kTruncate, file, 0);
        }
        return fd;
    }

    int Close(int fd) override {
        std::lock_guard lock(mutex_);
        fds_.erase(fd);
        return vell::FileSystem::Close(fd);
    }

    ssize_t PWrite(int fd, const void* buffer, size_t length, off_t position) override {
        std::lock_guard lock(mutex_);
        const ssize_t put = vell::FileSystem::PWrite(fd, buffer, length, position);
        if (put > 0 && fds_.count(fd) != 0) {
            FileOp op{FileOp::kWrite};
            op.file = fds_[fd];
            op.offset = static_cast<uint64_t>(position);
            const auto* bytes = static_cast<const uint8_t*>(buffer);
            op.bytes.assign(bytes, bytes + put);
            log_.push_back(std::move(op));
        }
        return put;
    }

    int Truncate(int fd, off_t length) override {
        std::lock_guard lock(mutex_);
        const int result = vell::FileSystem::Truncate(fd, length);
        if (result == 0 && fds_.count(fd) != 0) {
            Add(FileOp::kTruncate, fds_[fd], static_cast<uint64_t>(length));
        }
        return result;
    }

    int Allocate(int fd, off_t position, off_t length) override {
        std::lock_guard lock(mutex_);
        const int result = vell::FileSystem::Allocate(fd, position, length);
        if (result == 0 && fds_.count(fd) != 0) {
            Add(FileOp::kExtend, fds_[fd], static_cast<uint64_t>(position + length));
        }
        return result;
    }

    int Sync(int fd) override {
        std::lock_guard lock(mutex_);
        auto known = fds_.find(fd);
        if (known == fds_.end()) {
            return vell::FileSystem::Sync(fd);
        }
        FileOp op{FileOp::kSync};
        op.file = known->second;
        op.path = paths_[op.file];
        op.sync_class = ClassOfFile(op.path);
        op.honoured = ignored_.count(op.sync_class) == 0;
        log_.push_back(std::move(op));
        return 0;
    }

    int Unlink(const std::string& path) override {
        std::lock_guard lock(mutex_);
        const int result = vell::FileSystem::Unlink(path);
        const std::string name = Normal(path);
        auto known = names_.find(name);
        if (result == 0 && known != names_.end()) {
            FileOp op{FileOp::kUnlink};
            op.file = known->second;
            op.path = name;
            log_.push_back(std::move(op));
            names_.erase(known);
        }
        return result;
    }

    int Rename(const std::string& from, const std::string& to) override {
        std::lock_guard lock(mutex_);
        const int result = vell::FileSystem::Rename(from, to);
        const std::string source = Normal(from);
        auto known = names_.find(source);
        if (result == 0 && known != names_.end()) {
            FileOp op{FileOp::kRename};
            op.file = known->second;
            op.path = source;
            op.to = Normal(to);
            names_.erase(known);
            names_[op.to] = op.file;
            paths_[op.file] = op.to;
            log_.push_back(std::move(op));
        }
        return result;
    }

    int SyncDirectory(const std::string& path) override {
        std::lock_guard lock(mutex_);
        FileOp op{FileOp::kSyncDirectory};
        op.path = Normal(path.empty() ? "." : path);
        op.sync_class = SyncClass::kDirectory;
        op.honoured = ignored_.count(SyncClass::kDirectory) == 0;
        log_.push_back(std::move(op));
        return 0;
    }

    // The system the run wrote in is never the one a cut's files are judged in: a power cut
    // restarts it.
    uint64_t BootId() override { return 0x5EED0F0B007ull; }

    // The form every path takes in the log: absolute, without "." and "..".
    static std::string Normal(const std::string& path) {
        return std::filesystem::absolute(path).lexically_normal().string();
    }

private:
    void Mark(FileOp::Kind kind, uint64_t call) {
        std::lock_guard lock(mutex_);
        Add(kind, 0, call);
    }
    void Add(FileOp::Kind kind, uint64_t file, uint64_t offset) {
        FileOp op{kind};
        op.file = file;
        op.offset = offset;
        log_.push_back(std::move(op));
    }
    std::vector<uint8_t> ReadAll(int fd, uint64_t size) {
        std::vector<uint8_t> bytes(size);
        uint64_t done = 0;
        while (done < size) {
            ssize_t got = vell::FileSystem::PRead(fd, bytes.data() + done, size - done,
                                                  static_cast<off_t>(done));
            if (got <= 0) {
                break;
            }
            done += static_cast<uint64_t>(got);
        }
        bytes.resize(done);
        return bytes;
    }

    std::mutex mutex_;
    std::vector<FileOp> log_;
    std::map<std::string, uint64_t> names_;  // the entries as they are now
    std::map<uint64_t, std::string> paths_;  // each file's latest name
    std::map<int, uint64_t> fds_;
    uint64_t last_file_ = 0;
    std::set<SyncClass> ignored_;
    vell::FileSystem* previous_;
};

// The disk as a power cut could leave it after a prefix of a PowerCutFileSystem's log. Apply
// the operations one by one; Materialise writes, at any point, one state the disk may be in
// after a cut there.
//
// The model: each file has a durable content (what its last honoured sync saw) and the
// writes and truncations since, which are pending. A cut keeps, of a file's pending changes
// (in order), all, none, a random subset, or a prefix followed by one write torn at a
// 512-byte sector boundary (the sectors before the boundary written, none after), or a
// random subset of which one write is torn. The creation, removal or renaming of an entry is
// pending until its directory is synced; a cut keeps or undoes each pending one (all, none,
// or each at random).
class DiskModel {
public:
    explicit DiskModel(const std::vector<FileOp>& log) : log_(log) {}

    // Treats the creation, removal and renaming of entries as durable at once, as if every
    // directory were synced after each: to look past missing directory syncs.
    void EntriesDurableAtOnce(bool at_once) { entries_at_once_ = at_once; }

    // Applies log entry `index`; entries must come in order.
    void Apply(size_t index) {
        const FileOp& op = log_[index];
        switch (op.kind) {
            case FileOp::kFound: {
                files_[op.file].durable = op.bytes;
                EntryChange change{FileOp::kCreate, op.path, "", op.file, {}};
                entries_.push_back(change);  // it was there before: durable
                break;
            }
            case FileOp::kCreate:
                files_[op.file];
                entries_.push_back({FileOp::kCreate, op.path, "", op.file, {Parent(op.path)}});
                break;
            case FileOp::kWrite:
            case FileOp::kTruncate:
            case FileOp::kExtend:
                files_[op.file].pending.push_back(index);
                break;
            case FileOp::kSync:
                if (op.honoured) {
                    File& file = files_[op.file];
                    for (size_t pending : file.pending) {
                        ApplyChange(file.durable, log_[pending], log_[pending].bytes.size());
                    }
                    file.pending.clear();
                }
                break;
            case FileOp::kUnlink:
                entries_.push_back({FileOp::kUnlink, op.path, "", op.file, {Parent(op.path)}});
                break;
            case FileOp::kRename:
                entries_.push_back(
                    {FileOp::kRename, op.path, op.to, op.file, {Parent(op.path), Parent(op.to)}});
                break;
            case FileOp::kSyncDirectory:
                if (op.honoured) {
                    for (EntryChange& change : entries_) {
                        change.unsynced.erase(op.path);
                    }
                }
                break;
            case FileOp::kCallStarted:
            case FileOp::kCallReturned:
                break;
        }
    }

    // Writes the files under `root` as a cut now could leave them into `target` (made by the
    // caller), choosing with `rng`. Returns what was chosen, in a line per file.
    std::string Materialise(const std::filesystem::path& root, const std::filesystem::path& target,
                            std::mt19937_64& rng) const {
        std::string told;
        // Entries first: which names lead to which files.
        std::map<std::string, uint64_t> names;
        const int entry_mode = static_cast<int>(rng() % 3);  // keep all, undo all, at random
        for (const EntryChange& change : entries_) {
            bool keep = change.unsynced.empty() || entries_at_once_ || entry_mode == 0 ||
                        (entry_mode == 2 && rng() % 2 == 0);
            if (!keep) {
                told += "      undone: " + Describe(change) + "\n";
                continue;
            }
            switch (change.kind) {
                case FileOp::kCreate:
                    names[change.path] = change.file;
                    break;
                case FileOp::kUnlink:
                    names.erase(change.path);
                    break;
                default: {
                    auto found = names.find(change.path);
                    if (found != names.end()) {
                        names[change.to] = found->second;
                        names.erase(change.path);
                    }
                    break;
                }
            }
        }
        const std::string prefix = root.lexically_normal().string() + "/";
        for (const auto& [name, id] : names) {
            if (name.compare(0, prefix.size(), prefix) != 0) {
                continue;
            }
            const std::string relative = name.substr(prefix.size());
            const File& file = files_.at(id);
            std::vector<uint8_t> content = file.durable;
            told +=
                "      " + relative + ": " + std::to_string(file.durable.size()) + " bytes durable";
            if (!file.pending.empty()) {
                told += ", " + ApplyPending(file, content, rng);
            }
            told += "\n";
            std::filesystem::create_directories((target / relative).parent_path());
            std::ofstream out(target / relative, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(content.data()),
                      static_cast<std::streamsize>(content.size()));
        }
        return told;
    }

private:
    struct File {
        std::vector<uint8_t> durable;
        std::vector<size_t> pending;  // log indexes of writes, truncations and extensions
    };
    struct EntryChange {
        FileOp::Kind kind;
        std::string path;
        std::string to;
        uint64_t file;
        std::set<std::string> unsynced;  // directories whose sync it still waits for
    };

    static std::string Parent(const std::string& path) {
        return std::filesystem::path(path).parent_path().string();
    }

    static std::string Describe(const EntryChange& change) {
        const auto name = [](const std::string& path) {
            return std::filesystem::path(path).filename().string();
        };
        switch (change.kind) {
            case FileOp::kCreate:
                return "creation of " + name(change.path);
            case FileOp::kUnlink:
                return "removal of " + name(change.path);
            default:
                return "renaming of " + name(change.path) + " to " + name(change.to);
        }
    }

    // Applies a change to content; of a write only its first `keep` bytes.
    static void ApplyChange(std::vector<uint8_t>& content, const FileOp& op, size_t keep) {
        switch (op.kind) {
            case FileOp::kWrite:
                if (keep > 0) {
                    if (content.size() < op.offset + keep) {
                        content.resize(op.offset + keep, 0);
                    }
                    std::copy(op.bytes.begin(), op.bytes.begin() + static_cast<ptrdiff_t>(keep),
                              content.begin() + static_cast<ptrdiff_t>(op.offset));
                }
                break;
            case FileOp::kTruncate:
                content.resize(op.offset, 0);
                break;
            case FileOp::kExtend:
                if (content.size() < op.offset) {
                    content.resize(op.offset, 0);
                }
                break;
            default:
                break;
        }
    }

    // How many bytes of a write a tear at a random sector boundary inside it keeps: from its
    // start to the boundary (none when the tear is at its start).
    static size_t TornLength(const FileOp& op, std::mt19937_64& rng) {
        constexpr uint64_t kSector = 512;
        const uint64_t end = op.offset + op.bytes.size();
        std::vector<uint64_t> cuts = {op.offset};
        for (uint64_t boundary = (op.offset / kSector + 1) * kSector; boundary < end;
             boundary += kSector) {
            cuts.push_back(boundary);
        }
        return static_cast<size_t>(cuts[rng() % cuts.size()] - op.offset);
    }

    std::string ApplyPending(const File& file, std::vector<uint8_t>& content,
                             std::mt19937_64& rng) const {
        const size_t count = file.pending.size();
        const std::string of = " of " + std::to_string(count) + " pending changes";
        std::vector<size_t> keep(count, 0);  // bytes kept of each change (1 for a truncation)
        const auto whole = [&](size_t i) {
            const FileOp& op = log_[file.pending[i]];
            return op.kind == FileOp::kWrite ? op.bytes.size() : size_t{1};
        };
        std::string told;
        size_t torn = count;
        switch (rng() % 5) {
            case 0:
                for (size_t i = 0; i < count; ++i) {
                    keep[i] = whole(i);
                }
                told = "all" + of + " kept";
                break;
            case 1:
                told = "none" + of + " kept";
                break;
            case 2: {
                size_t kept = 0;
                for (size_t i = 0; i < count; ++i) {
                    if (rng() % 2 == 0) {
                        keep[i] = whole(i);
                        ++kept;
                    }
                }
                told = std::to_string(kept) + of + " kept at random";
                break;
            }
            case 3: {
                const size_t prefix = rng() % count;
                for (size_t i = 0; i < prefix; ++i) {
                    keep[i] = whole(i);
                }
                torn = prefix;
                told = "the first " + std::to_string(prefix) + of + " kept";
                break;
            }
            default: {
                size_t kept = 0;
                for (size_t i = 0; i < count; ++i) {
                    if (rng() % 2 == 0) {
                        keep[i] = whole(i);
                        ++kept;
                    }
                }
                torn = rng() % count;
                told = std::to_string(kept) + of + " kept at random";
                break;
            }
        }
        if (torn < count && log_[file.pending[torn]].kind == FileOp::kWrite) {
            const FileOp& op = log_[file.pending[torn]];
            keep[torn] = TornLength(op, rng);
            told += ", the write of " + std::to_string(op.bytes.size()) + " bytes at " +
                    std::to_string(op.offset) + " torn after " + std::to_string(keep[torn]);
        }
        for (size_t i = 0; i < count; ++i) {
            if (keep[i] > 0) {
                ApplyChange(content, log_[file.pending[i]], keep[i]);
            }
        }
        return told;
    }

    const std::vector<FileOp>& log_;
    std::map<uint64_t, File> files_;
    std::vector<EntryChange> entries_;  // every entry change in order, durable ones included
    bool entries_at_once_ = false;
};

}  // namespace testsupport
