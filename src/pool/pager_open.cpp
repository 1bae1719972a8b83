// Opening and closing a Pager: replaying a journal left behind, creating a new pool whole,
// loading with its checks and repairs, and the close sequence.
#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "pool/pager.h"
#include "pool/write_transaction.h"
#include "vell/file_system.h"
#include "vell/library_errors.h"
#include "vell/output.h"

namespace brindle {
namespace {

std::string DirectoryOf(const std::string& path) {
    std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? "." : parent;
}

bool Exists(const std::string& path) {
    vell::FileSystem& fs = vell::FileSystem::Current();
    int fd = fs.Open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return errno != ENOENT;
    }
    fs.Close(fd);
    return true;
}

// Writes all of `bytes` at `position`; false with errno set when the file takes less.
bool WriteAll(int fd, const uint8_t* bytes, size_t length, off_t position) {
    vell::FileSystem& fs = vell::FileSystem::Current();
    size_t done = 0;
    while (done < length) {
        ssize_t put =
            fs.PWrite(fd, bytes + done, length - done, position + static_cast<off_t>(done));
        if (put <= 0) {
            if (put == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

}  // namespace

bool Pager::SyncDirectory() const {
    if (vell::FileSystem::Current().SyncDirectory(DirectoryOf(path_)) != 0) {
        vell::OutputLine("Sync directory failed errorid:%d", errno);
        return false;
    }
    return true;
}

bool Pager::Open(const std::string& path) {
    const PoolOptions& o = options_;
    PageCache::Settings settings;
    settings.page_size = o.page_size;
    settings.data_buffer_initial = o.data_buffer_initial;
    settings.data_buffer_max = o.data_buffer_max;
    settings.data_buffer_keep_free = o.data_buffer_keep_free;
    settings.page_buffer_initial = o.page_buffer_initial;
    settings.page_buffer_max = o.page_buffer_max;
    settings.page_buffer_keep_free = o.page_buffer_keep_free;
    settings.max_cached_pages = o.max_cached_pages;
    if (!cache_.Init(settings, this)) {
        return false;
    }
    path_ = path;
    open_failure_ = OpenFailure::kFailed;
    if (o.access == Access::kReadOnly) {
        return OpenReadOnly(path);
    }
    open_failure_ = shared_.Open(path, o.access, o.durability);
    if (open_failure_ != OpenFailure::kNone) {
        return false;
    }
    open_failure_ = OpenFailure::kFailed;
    files_.SetSharing(o.access == Access::kShared ? DataFileSet::Sharing::kShared
                                                  : DataFileSet::Sharing::kExclusive);
    follows_others_ = o.access == Access::kShared;
    if (shared_.OtherWriters()) {
        // Shared writers hold the pool: its journal is theirs too, and is not replayed.
        if (!OpenBesideWriters(path)) {
            return false;
        }
    } else if (!OpenFirstWriter(path)) {
        return false;
    }
    shared_.FinishOpen();
    opened_ = true;
    open_failure_ = OpenFailure::kNone;
    if (!StartThread()) {
        vell::OutputLine("Create check pages threads failed");
        return false;
    }
    return true;
}

bool Pager::OpenReadOnly(const std::string& path) {
    if (!Exists(DataFileSet::FileName(path, 1))) {
        vell::OutputLine("No database at %s", path.c_str());
        open_failure_ = errno == EACCES ? OpenFailure::kPermission : OpenFailure::kNoDatabase;
        return false;
    }
    if (!OpenForReading(path)) {
        if (open_failure_ == OpenFailure::kNone) {
            open_failure_ = OpenFailure::kFailed;
        }
        return false;
    }
    shared_.FinishOpen();
    opened_ = true;
    open_failure_ = OpenFailure::kNone;
    return StartThread();
}

bool Pager::OpenBesideWriters(const std::string& path) {
    LoadResult loaded = Load(path, options_.page_size);
    if (loaded != LoadResult::kLoaded) {
        vell::OutputLine(loaded == LoadResult::kFailed ? "Load file failed"
                                                       : "Option page size too small");
        return false;
    }
    return OpenJournal() && OpenShared(path);
}

// No other process writes the pool: a journal left behind is replayed, and the pool is
// created when there is none.
bool Pager::OpenFirstWriter(const std::string& path) {
    const PoolOptions& o = options_;
    // Readers in a call read the data files as the journal's last published state describes
    // them; the replay waits for their calls to end, and they read everything again after.
    shared_.WaitForReaders(~uint64_t{0}, std::chrono::milliseconds(2000));
    uint64_t replayed = 0;
    if (!ReplayJournal(path, replayed)) {
        vell::OutputLine("Replay journal failed");
        return false;
    }
    LoadResult loaded = Load(path, o.page_size);
    if (loaded == LoadResult::kFailed) {
        vell::OutputLine("Load file failed");
        if (!CreateNew(path)) {
            vell::OutputLine("Create db file failed");
            return false;
        }
        loaded = Load(path, o.page_size);
        if (loaded == LoadResult::kFailed) {
            vell::OutputLine("Load db failed 2");
            return false;
        }
    }
    if (loaded == LoadResult::kPageSizeMismatch) {
        vell::OutputLine("Option page size too small");
        return false;
    }
    if (!OpenJournal()) {
        return false;
    }
    {
        // Numbers go on from the last commit any process made, and readers learn that the
        // data files hold everything up to it.
        vell::MutexLock lock(pending_mutex_);
        const uint64_t last = std::max(shared_.Read().sequence, replayed);
        journal_->Adopt(journal_->Size(), journal_->Run(), last + 1);
        PublishEmptied(last);
        applied_.store(last, std::memory_order_release);
    }
    if (o.access == Access::kShared && !OpenShared(path)) {
        return false;
    }
    opened_ = true;
    RepairAtOpen();
    return true;
}

// Writes the changes of every complete record of a journal left by a process that did not
// close the pool to the data files, before anything of them is read. The records carry
// whole areas of the files (pages and heads), so writing one twice does no harm. The data
// files are opened as the records name them, never from a head that may not be in place yet.
bool Pager::ReplayJournal(const std::string& path, uint64_t& replayed) {
    vell::FileSystem& fs = vell::FileSystem::Current();
    const std::string journal_path = Journal::PathFor(path);
    if (!Exists(journal_path)) {
        return true;
    }
    if (!Exists(DataFileSet::FileName(path, 1))) {
        // Its pool is gone: nothing to bring the changes to.
        fs.Unlink(journal_path);
        return true;
    }
    Journal journal;
    bool created = false;
    if (!journal.Open(journal_path, false, created)) {
        return false;
    }
    uint64_t size = 0;
    if (!journal.FileSize(size)) {
        return false;
    }
    if (size == 0) {
        return true;
    }
    DataFileSet files;
    files.SetSharing(files_.GetSharing());
    if (!files.Open(path, 1, false, DataFileSet::kPoolFileBound)) {
        return false;
    }
    const int files_before = files.FileCount();
    JournalScan scan;
    bool applied = journal.Replay(
        [&files](const Journal::Entry& entry) {
            if (entry.file == kNotesFile) {
                return true;
            }
            while (static_cast<int>(entry.file) > files.FileCount()) {
                if (files.OpenNextFile() < 1) {
                    return false;
                }
            }
            return entry.length == 0 || files.Write(entry.bytes, entry.length,
                                                    static_cast<int>(entry.file), entry.position);
        },
        scan);
    for (int file = 1; applied && file <= files.FileCount(); ++file) {
        applied = files.Flush(file);
    }
    if (applied && files.FileCount() > files_before) {
        applied = fs.SyncDirectory(DirectoryOf(path)) == 0;
    }
    files.CloseAll();
    if (!applied) {
        return false;
    }
    replayed = scan.last_sequence;
    if (scan.records > 0) {
        vell::OutputLine("Journal replayed: %llu changes",
                         static_cast<unsigned long long>(scan.records));
    }
    if (scan.damaged) {
        KeepDamagedJournal(path, scan);
    }
    return journal.Reset(true);
}

// A damaged journal is copied aside before it is emptied, so that what it held past the
// damage is not lost for good and the structure check can report it.
void Pager::KeepDamagedJournal(const std::string& path, const JournalScan& scan) {
    const std::string kept = Journal::DamagedPathFor(path);
    journal_damage_ = "journal record " + std::to_string(scan.damaged_sequence) +
                      " is damaged; it and " + std::to_string(scan.dropped_records) +
                      " later records were not replayed (the journal is kept in " + kept + ")";
    vell::OutputLine("Journal damaged: %s", journal_damage_.c_str());
    std::error_code error;
    std::filesystem::copy_file(Journal::PathFor(path), kept,
                               std::filesystem::copy_options::overwrite_existing, error);
    if (error) {
        vell::OutputLine("Keep damaged journal failed: %s", error.message().c_str());
    }
}

bool Pager::OpenJournal() {
    auto journal = std::make_unique<Journal>();
    bool created = false;
    if (!journal->Open(Journal::PathFor(path_), true, created)) {
        vell::OutputLine("Open journal failed");
        return false;
    }
    // Records count only once the journal's name is sure to be found after a power cut.
    if (created && Syncs() && !SyncDirectory()) {
        return false;
    }
    vell::MutexLock lock(pending_mutex_);
    journal_ = std::move(journal);
    committed_file_count_ = files_.FileCount();
    return true;
}

// Changes opening makes (the head no longer marked closed in order, repairs of the page
// count and the free list) are a transaction of their own, like every other change.
void Pager::RepairAtOpen() {
    WriteTransaction transaction(this);
    head_.Update([](PoolHead& head) { head.flags &= ~kHeadCleanClose; });
    RepairPageCount();
    if (allocator_.FindFreeTail() == PageAllocator::ListState::kBroken) {
        vell::OutputLine("Get free page unused flag error -- on load");
        vell::OutputLine("Repair free page list...");
        allocator_.RebuildFreeList();
        vell::OutputLine("Repair free page list ok");
    }
    transaction.Commit();
}

Pager::LoadResult Pager::Load(const std::string& path, uint32_t read_length) {
    if (!ReadHead(path, read_length)) {
        return LoadResult::kFailed;
    }
    PoolHead head = MainHead();
    if (head.page_size > read_length) {
        // No page may be read into cache buffers shorter than a page.
        head_.Set(PoolHead());
        return LoadResult::kPageSizeMismatch;
    }
    if (!files_.Open(path, static_cast<int>(head.file_count), false, DataFileSet::kPoolFileBound)) {
        files_.Reset();
        return LoadResult::kFailed;
    }
    if (head.flags & kHeadTempData) {
        vell::OutputLine("PagePool file is temp data will delete");
        files_.DeleteAll();
        files_.Reset();
        return LoadResult::kFailed;
    }
    if (!(head.flags & kHeadCleanClose)) {
        vell::OutputLine("Last time DB was force-close!!!!");
    }
    return LoadResult::kLoaded;
}

bool Pager::RepairPageCount() {
    PoolHead head = MainHead();
    uint64_t total = 0;
    for (int file = 1; file <= static_cast<int>(head.file_count); ++file) {
        uint32_t size = 0;
        if (!files_.GetSize(file, size)) {
            return false;
        }
        total += size;
    }
    int64_t pages_bytes =
        static_cast<int64_t>(total) - static_cast<int64_t>(head.head_area_size) * head.file_count;
    int64_t whole_pages = pages_bytes / static_cast<int64_t>(head.page_size);
    if (whole_pages > 0 && head.page_count < static_cast<uint64_t>(whole_pages)) {
        vell::OutputLine(
            "Check pool head PageCount less file size,PageCount:%s,PageSize:%d,file total "
            "size:%s",
            std::to_string(head.page_count).c_str(), static_cast<int>(head.page_size),
            std::to_string(pages_bytes).c_str());
        vell::OutputLine("Repair pool head--PageCount...");
        head_.Update([&](PoolHead& main) { main.page_count = static_cast<uint64_t>(whole_pages); });
        vell::OutputLine("Repair pool head--PageCount ok");
    }
    return true;
}

// A new pool's first file is written whole under a temporary name, synced, and only then
// renamed into place (and the directory synced), so that a crash at any instant leaves
// either no pool or a whole one, never a file that can neither be opened nor made again. The
// temporary file's lock keeps two processes from making the same pool at once.
bool Pager::CreateNew(const std::string& path) {
    const PoolOptions& o = options_;
    const uint32_t page_size = o.page_size;
    const uint32_t page_count = o.initial_page_count;
    if (path.empty() || page_size == 0 || page_count == 0) {
        return false;
    }
    const uint64_t total = (static_cast<uint64_t>(page_count) + 1) * page_size;
    if (total == 0 || total > o.max_file_size || page_size < kPoolHeadSize ||
        page_size < kPageHeadSize || page_size > cache_.BufferSize()) {
        vell::OutputLine("Initialize file size error -- Create new");
        return false;
    }
    const std::string final_name = DataFileSet::FileName(path, 1);
    if (Exists(final_name)) {
        errno = EEXIST;
        vell::OutputLine("Create file failed errorid:%d\n", errno);
        vell::OutputText(vell::kFileIoInitFailedLine);
        return false;
    }
    vell::FileSystem& fs = vell::FileSystem::Current();
    const std::string temporary = final_name + ".new";
    int fd = fs.Open(temporary, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || fs.Lock(fd, LOCK_EX | LOCK_NB) != 0) {
        vell::OutputLine("Create file failed errorid:%d\n", errno);
        vell::OutputText(vell::kFileIoInitFailedLine);
        if (fd >= 0) {
            fs.Close(fd);
        }
        return false;
    }
    bool made = false;
    try {
        made = fs.Truncate(fd, 0) == 0 &&
               WriteNewPoolFile(fd, path, static_cast<uint32_t>(total)) && fs.Sync(fd) == 0 &&
               !Exists(final_name) && fs.Rename(temporary, final_name) == 0 &&
               fs.SyncDirectory(DirectoryOf(path)) == 0;
    } catch (...) {
        fs.Unlink(temporary);
        fs.Close(fd);
        throw;
    }
    if (!made) {
        vell::OutputLine("Create new pool file failed errorid:%d", errno);
        fs.Unlink(temporary);
    }
    fs.Close(fd);
    return made;
}

bool Pager::WriteNewPoolFile(int fd, const std::string& path, uint32_t total) {
    const PoolOptions& o = options_;
    const uint32_t page_size = o.page_size;
    const uint32_t page_count = o.initial_page_count;
    std::vector<uint8_t> image(total, 0);
    for (uint32_t i = 1; i <= page_count; ++i) {
        PageHeadView page(image.data() + static_cast<size_t>(i) * page_size);
        page.InitFresh(page_size, kPageUnused | (o.head_flags & kHeadEncrypted));
        page.SetPageNo(i);
        page.SetNext(i == page_count ? 0 : i + 1);
        page.SetPrev(i - 1);
        page.SetFileIndex(1);
        page.SetPos(i * page_size);
    }
    PoolHead head;
    head.file_no = 1;
    head.flags = o.head_flags | kHeadCleanClose;
    head.head_area_size = page_size;
    head.page_size = page_size;
    head.page_count = page_count;
    head.file_count = 1;
    head.max_file_size = o.max_file_size;
    head.free_head = 1;
    head.SetFileName(path);
    head.Encode(image.data());
    return WriteAll(fd, image.data(), image.size(), 0);
}

bool Pager::ReadHead(const std::string& path, uint32_t read_length) {
    DataFileSet file;
    file.SetSharing(files_.GetSharing());
    if (!file.Open(path, 1, false, DataFileSet::kPoolFileBound)) {
        return false;
    }
    uint32_t size = 0;
    if (!file.GetSize(1, size) || size < read_length || read_length < kPoolHeadSize) {
        return false;
    }
    HeldBlock buffer = cache_.HoldBuffer();
    if (read_length > cache_.BufferSize() || !file.Read(buffer.get(), read_length, 1, 0)) {
        return false;
    }
    PoolHead head = PoolHead::Decode(buffer.get());
    if (head.head_size != kPoolHeadSize) {
        vell::OutputLine("File format error");
        return false;
    }
    if (head.version > kPoolVersion) {
        vell::ThrowFormatError("Data file version highter");
    }
    // Values that cannot describe a pool would send later arithmetic astray.
    bool sane = head.page_size >= kPoolHeadSize && head.page_size >= kPageHeadSize &&
                head.head_area_size >= 1 && head.head_area_size <= head.page_size &&
                head.file_count >= 1 && head.file_count <= DataFileSet::kMaxFiles &&
                head.max_file_size > head.page_size;
    if (!sane) {
        vell::OutputLine("File format error");
        return false;
    }
    head_.Set(head);
    return true;
}

bool Pager::WriteHead(const PoolHead& head, int file) {
    if (file < 1) {
        return false;
    }
    if (head.head_area_size < 1 || head.head_area_size > head.page_size ||
        head.head_area_size > cache_.BufferSize()) {
        vell::ThrowFileHeadError("File head format error");
    }
    std::vector<uint8_t> area = head.EncodeArea();
    area.resize(head.head_area_size);
    return files_.Write(area.data(), head.head_area_size, file, 0);
}

void Pager::ReleaseUnwritten() {
    std::vector<Page*> unpin;
    {
        vell::MutexLock lock(pending_mutex_);
        for (auto& [number, area] : unwritten_) {
            if (area.page != nullptr) {
                unpin.push_back(area.page);
            }
        }
        unwritten_.clear();
        unwritten_heads_.clear();
    }
    for (Page* page : unpin) {
        ReleasePage(page);
    }
}

void Pager::Close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    StopThread();
    if (opened_ && files_.IsOpen() && options_.access == Access::kShared) {
        CloseSharedWriter();
    } else if (opened_ && files_.IsOpen() && options_.access == Access::kExclusive) {
        shared_.BeginClose();
        bool in_place = Checkpoint();
        if (in_place) {
            head_.Update([](PoolHead& head) { head.flags |= kHeadCleanClose; });
            in_place = WriteHead(MainHead(), 1);
            for (int file = 1; in_place && Syncs() && file <= files_.FileCount(); ++file) {
                in_place = files_.Flush(file);
            }
        }
        vell::MutexLock lock(pending_mutex_);
        if (in_place && journal_) {
            RemoveJournal();
        }
        journal_.reset();
    }
    ReleaseUnwritten();
    cache_.DropUnpinned();
    files_.CloseAll();
    shared_.Close();
}

// Emptied first, so that a removal undone by a power cut brings back nothing; readers learn
// of it from the new generation.
void Pager::RemoveJournal() {
    journal_->Reset(Syncs());
    PublishEmptied(journal_->LastSequence());
    journal_->Remove();
    if (Syncs()) {
        SyncDirectory();
    }
}

// The last shared writer to close leaves the data files as an exclusive writer's close does;
// the others leave the journal to the writers that remain.
void Pager::CloseSharedWriter() {
    const bool last = shared_.BeginClose();
    brindle::WriterGate gate(this, true);
    GateHeldByThisThread();
    SharedWriteLock lock(&shared_);
    if (!last) {
        return;
    }
    const uint64_t sequence = shared_.Read().sequence;
    bool in_place = SharedCheckpoint() && ReadMainHeadFromFile();
    if (in_place) {
        head_.Update([](PoolHead& head) { head.flags |= kHeadCleanClose; });
        in_place = WriteHead(MainHead(), 1) && (!Syncs() || files_.Flush(1));
    }
    vell::MutexLock pending(pending_mutex_);
    if (in_place && journal_) {
        journal_->Adopt(0, journal_->Run(), sequence + 1);
        RemoveJournal();
    }
    journal_.reset();
}

}  // namespace brindle
