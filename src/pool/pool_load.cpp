// Opening and closing a PagePool: Init, Load with its checks and repairs, and the close
// sequence.
#include <fcntl.h>

#include <string>
#include <vector>

#include "pool/page_pool.h"
#include "vell/file_system.h"
#include "vell/output.h"

namespace brindle {

bool PagePool::Init(const std::string& path) {
    const PoolOptions& o = options_;
    if (!data_buffers_.Init(o.data_buffer_initial, o.page_size, o.data_buffer_max,
                            o.data_buffer_keep_free)) {
        vell::OutputLine("Init Data buffer failed");
        return false;
    }
    if (!page_buffers_.Init(o.page_buffer_initial, sizeof(Page), o.page_buffer_max,
                            o.page_buffer_keep_free)) {
        vell::OutputLine("Init Page buffer failed");
        return false;
    }
    path_ = path;
    if (!o.temporary_data && !ReplayJournal(path)) {
        vell::OutputLine("Replay journal failed");
        return false;
    }
    LoadResult loaded = Load(path, o.page_size);
    if (loaded == LoadResult::kFailed) {
        vell::OutputLine("Load file failed");
        if (!CreateNew(path, o.page_size, o.initial_page_count, o.max_file_size)) {
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
    if (!o.temporary_data && !OpenJournal()) {
        return false;
    }
    if (!StartCheckThread()) {
        vell::OutputLine("Create check pages threads failed");
        return false;
    }
    return true;
}

PagePool::LoadResult PagePool::Load(const std::string& path, uint32_t read_length) {
    if (!ReadHead(path, read_length)) {
        return LoadResult::kFailed;
    }
    PoolHead head = MainHead();
    if (head.page_size > read_length) {
        // No page may be read into cache buffers shorter than a page.
        vell::ScopedLock lock(head_lock_);
        head_ = PoolHead();
        page_count_ = 0;
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
    {
        vell::ScopedLock lock(head_lock_);
        head_.flags &= ~kHeadCleanClose;
        if (options_.temporary_data) {
            head_.flags |= kHeadTempData;
        }
    }
    WriteMainHead();
    RepairHead();
    WalkFreeListAtLoad();
    return LoadResult::kLoaded;
}

// Writes the changes of every complete record of a journal left by a process that did not
// close the pool to the data files, before anything of them is read. The records carry
// whole areas of the files (pages and heads), so writing one twice does no harm.
bool PagePool::ReplayJournal(const std::string& path) {
    vell::FileSystem& fs = vell::FileSystem::Current();
    const std::string journal_path = Journal::PathFor(path);
    int probe = fs.Open(journal_path, O_RDONLY | O_CLOEXEC, 0);
    if (probe < 0) {
        return true;  // none
    }
    fs.Close(probe);
    probe = fs.Open(DataFileSet::FileName(path, 1), O_RDONLY | O_CLOEXEC, 0);
    if (probe < 0) {
        // Its pool is gone: nothing to bring the changes to.
        fs.Unlink(journal_path);
        return true;
    }
    fs.Close(probe);
    Journal journal;
    if (!journal.Open(journal_path)) {
        return false;
    }
    if (journal.Size() == 0) {
        return true;
    }
    DataFileSet files;
    if (!files.Open(path, 1, false, DataFileSet::kPoolFileBound)) {
        return false;
    }
    uint8_t encoded[kPoolHeadSize];
    if (!files.Read(encoded, kPoolHeadSize, 1, 0)) {
        return false;
    }
    const PoolHead head = PoolHead::Decode(encoded);
    files.CloseAll();
    files.Reset();
    if (head.file_count < 1 || head.file_count > DataFileSet::kMaxFiles ||
        !files.Open(path, static_cast<int>(head.file_count), false, DataFileSet::kPoolFileBound)) {
        return false;
    }
    uint64_t records = 0;
    bool applied = journal.Replay(
        [&files](const Journal::Entry& entry) {
            while (static_cast<int>(entry.file) > files.FileCount()) {
                if (files.AddFile() < 1) {
                    return false;
                }
            }
            return entry.length == 0 || files.Write(entry.bytes, entry.length,
                                                    static_cast<int>(entry.file), entry.position);
        },
        records);
    for (int file = 1; applied && file <= files.FileCount(); ++file) {
        applied = files.Flush(file);
    }
    files.CloseAll();
    if (!applied) {
        return false;
    }
    vell::OutputLine("Journal replayed: %llu changes", static_cast<unsigned long long>(records));
    return journal.Reset(true);
}

bool PagePool::OpenJournal() {
    journal_ = std::make_unique<Journal>();
    if (!journal_->Open(Journal::PathFor(path_))) {
        journal_.reset();
        vell::OutputLine("Open journal failed");
        return false;
    }
    return true;
}

bool PagePool::RepairHead() {
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
        SetPageCount(static_cast<uint64_t>(whole_pages));
        WriteMainHead();
        vell::OutputLine("Repair pool head--PageCount ok");
    }
    return true;
}

// Finds the free list's tail by walking it from FreeHead. A page on the way that is not a
// free page, cannot be read, or a walk longer than the pool (a cycle) means the list is
// broken: it is replaced by a fresh list of new pages.
bool PagePool::WalkFreeListAtLoad() {
    vell::ScopedLock free_lock(free_list_lock_);
    free_tail_ = 0;
    uint64_t number = FreeHead();
    if (number == 0) {
        return true;
    }
    const uint64_t limit = PageCount();
    uint64_t walked = 0;
    while (true) {
        Page* page = GetPage(number);
        bool bad = page == nullptr || !page->Head().Has(kPageUnused) || ++walked > limit;
        if (bad) {
            vell::OutputLine("Get free page unused flag error -- on load");
            vell::OutputLine("Repair free page list...");
            ReleasePage(page);
            InitFreePageList();
            vell::OutputLine("Repair free page list ok");
            return true;
        }
        uint64_t next = page->Head().Next();
        if (next == 0) {
            free_tail_ = number;
            ReleasePage(page);
            return true;
        }
        ReleasePage(page);
        number = next;
    }
}

void PagePool::Close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    StopCheckThread();
    bool journal_done = Checkpoint();
    if (journal_ && journal_done) {
        journal_->Remove();
    }
    journal_.reset();
    if (MainHead().file_no != 0 && files_.IsOpen()) {
        ReleaseEverything();
        {
            vell::ScopedLock lock(head_lock_);
            head_.flags |= kHeadCleanClose;
        }
        WriteMainHead();
        for (int file = 1; file <= files_.FileCount(); ++file) {
            files_.Flush(file);
        }
    }
    if (options_.temporary_data && files_.IsOpen()) {
        files_.DeleteAll();
    }
    files_.CloseAll();
}

// Unpins every pinned page once, then drops every unpinned page, writing delayed ones.
void PagePool::ReleaseEverything() {
    std::vector<Page*> pinned;
    for (PageTable::Shard& shard : table_.Shards()) {
        std::shared_lock lock(shard.lock);
        for (auto& entry : shard.pages) {
            if (entry.second->RefCount() > 0) {
                pinned.push_back(entry.second);
            }
        }
    }
    for (Page* page : pinned) {
        ReleasePage(page);
    }
    for (PageTable::Shard& shard : table_.Shards()) {
        std::unique_lock lock(shard.lock);
        for (auto entry = shard.pages.begin(); entry != shard.pages.end();) {
            Page* page = entry->second;
            LeaveCache(page);
            if (page->RefCount() != 0) {
                ++entry;
                continue;
            }
            entry = shard.pages.erase(entry);
            FreeRawPage(page);
        }
    }
}

}  // namespace brindle
