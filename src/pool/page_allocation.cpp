// Page allocation of the PagePool: the free list and growth.
//
// The free list is doubly linked through the page heads' Next and Prev and used as a stack
// at its tail; its head is FreeHead in the main head, its tail is known only in memory.
// Growth appends a batch of pages at the end of the last file, filling it up to
// MaxFileSize before a new numbered file with its own head is added.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "pool/page_handle.h"
#include "pool/page_pool.h"
#include "vell/library_errors.h"
#include "vell/output.h"

namespace brindle {
namespace {

// Pins a neighbour page of the free list; null when it cannot be read.
Page* PinFreeListPage(PagePool& pool, uint64_t number) {
    Page* page = pool.GetPage(number);
    if (page != nullptr && page->Data() == nullptr) {
        pool.ReleasePage(page);
        vell::ThrowMemoryError(vell::kAllocPageDataBufferError);
    }
    return page;
}

}  // namespace

Page* PagePool::NewPage() {
    Page* page = nullptr;
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool bad_free_page = false;
        page = TakeFreePage(bad_free_page);
        if (page != nullptr || !bad_free_page || !options_.repair_free_list) {
            return page;
        }
        vell::OutputLine("Skip bad free page list,will InitFreePageList!!!");
        InitFreePageList();
    }
    return page;
}

Page* PagePool::TakeFreePage(bool& bad_free_page) {
    vell::ScopedLock free_lock(free_list_lock_);
    if (free_tail_ == 0 && AddNewPages(options_.add_page_count) == 0) {
        return nullptr;
    }
    Page* tail = PinFreeListPage(*this, free_tail_);
    if (tail == nullptr || !tail->Head().Has(kPageUnused)) {
        vell::OutputLine("Get free page unused flag error");
        ReleasePage(tail);
        bad_free_page = true;
        return nullptr;
    }
    uint64_t previous = tail->Head().Prev();
    if (previous == 0) {
        free_tail_ = 0;
        {
            vell::ScopedLock head_lock(head_lock_);
            head_.free_head = 0;
        }
        WriteMainHead();
    } else {
        Page* before = PinFreeListPage(*this, previous);
        if (before == nullptr || !before->Head().Has(kPageUnused)) {
            vell::OutputLine("Get free page unused flag error");
            ReleasePage(before);
            ReleasePage(tail);
            bad_free_page = true;
            return nullptr;
        }
        before->Head().SetNext(0);
        before->SetDirty();
        ReleasePage(before);
        free_tail_ = previous;
    }
    tail->Head().SetPrev(0);
    tail->Head().SetNext(0);
    return tail;  // still pinned; the first AddData clears Unused
}

void PagePool::FreePage(Page* page) {
    if (page == nullptr) {
        return;
    }
    vell::ScopedLock free_lock(free_list_lock_);
    PageHeadView head = page->Head();
    const uint64_t number = page->Number();
    // A page is already on the list when it is Unused and linked, or is the list's only page.
    bool on_list =
        head.Has(kPageUnused) && (head.Prev() != 0 || head.Next() != 0 || number == free_tail_);
    if (on_list) {
        ReleasePage(page);
        return;
    }
    head.SetFlags(kPageUnused);
    head.SetPrev(free_tail_);
    head.SetNext(0);
    head.SetDataLen(0);
    head.SetDataOffset(kPageHeadSize);
    head.SetPieceCount(0);
    page->SetDirty();
    // The freed page reaches the disk before anything on disk links to it as free.
    if (WritePage(page)) {
        page->SetDirty(false);
    }
    if (free_tail_ == 0) {
        {
            vell::ScopedLock head_lock(head_lock_);
            head_.free_head = number;
        }
        WriteMainHead();
    } else {
        LinkTailTo(number);
    }
    free_tail_ = number;
    ReleasePage(page);
}

// Sets the current tail page's Next. Called under the free-list lock.
void PagePool::LinkTailTo(uint64_t next) {
    Page* tail = GetPage(free_tail_);
    if (tail == nullptr) {
        vell::ThrowMemoryError(vell::kAllocPageBufferError);
    }
    if (tail->Data() == nullptr) {
        ReleasePage(tail);
        vell::ThrowMemoryError(vell::kAllocPageDataBufferError);
    }
    tail->Head().SetNext(next);
    tail->SetDirty();
    ReleasePage(tail);
}

void PagePool::SetPageCount(uint64_t count) {
    {
        vell::ScopedLock head_lock(head_lock_);
        head_.page_count = count;
    }
    page_count_.store(count, std::memory_order_release);
}

uint64_t PagePool::FileEnd(int file) {
    auto known = file_ends_.find(file);
    if (known != file_ends_.end()) {
        return known->second;
    }
    uint32_t file_size = 0;
    if (!files_.GetSize(file, file_size)) {
        vell::ThrowIoError("Get file size error -- Add new pages");
    }
    return file_size;
}

PoolHead PagePool::ReadFileHead(int file) {
    auto staged = transaction_.file_heads.find(file);
    if (InTransaction() && staged != transaction_.file_heads.end()) {
        return PoolHead::Decode(staged->second.data());
    }
    auto unwritten = unwritten_heads_.find(file);
    if (unwritten != unwritten_heads_.end()) {
        return PoolHead::Decode(unwritten->second.data());
    }
    const uint32_t area_size = MainHead().head_area_size;
    std::vector<uint8_t> area(std::max<uint32_t>(area_size, kPoolHeadSize), 0);
    if (!files_.Read(area.data(), area_size, file, 0)) {
        vell::ThrowIoError("Read file head error -- add new pages");
    }
    return PoolHead::Decode(area.data());
}

bool PagePool::WriteHeadOrStage(const PoolHead& head, int file) {
    if (!InTransaction()) {
        return WriteHead(head, head_.page_size, file);
    }
    transaction_.file_heads[file] = head.EncodeArea();
    return true;
}

// Makes `count` fresh free pages numbered from `first` at the end of `file`, linked to each
// other and back to the free list's tail. Outside a transaction they are written to the file
// at once; inside one they are made in memory, held by the transaction, and reach the file
// through the journal like any other change.
void PagePool::PlaceFreshPages(int file, uint64_t first, uint64_t count, uint64_t file_size) {
    const PoolHead head = MainHead();
    const uint32_t page_size = head.page_size;
    const bool in_transaction = InTransaction();
    if (!in_transaction &&
        !files_.ResetSize(static_cast<uint32_t>(file_size + count * page_size), file)) {
        vell::ThrowIoError("Reset file size error -- Add new pages");
    }
    std::vector<uint8_t> buffer(page_size, 0);
    PageHeadView fresh(buffer.data());
    fresh.InitFresh(page_size, kPageUnused | (head.flags & kHeadEncrypted));
    for (uint64_t i = 0; i < count; ++i) {
        fresh.SetPageNo(first + i);
        fresh.SetNext(i + 1 == count ? 0 : first + i + 1);
        fresh.SetPrev(i == 0 ? free_tail_ : first + i - 1);
        fresh.SetFileIndex(static_cast<uint32_t>(file));
        const uint32_t position = static_cast<uint32_t>(file_size + i * page_size);
        fresh.SetPos(position);
        if (!in_transaction) {
            if (!files_.Write(buffer.data(), page_size, file, position)) {
                files_.ResetSize(static_cast<uint32_t>(file_size), file);
                vell::ThrowIoError("Write file error -- Add new pages");
            }
            continue;
        }
        Page* page = MakePage(page_size);
        std::memcpy(page->data_, buffer.data(), page_size);
        page->number_ = first + i;
        page->file_ = file;
        page->position_ = position;
        page->ref_count_.store(1, std::memory_order_release);  // the transaction's pin
        page->SetDirty();
        {
            PageTable::Shard& shard = table_.ShardOf(first + i);
            std::unique_lock lock(shard.lock);
            shard.pages[first + i] = page;
        }
        pinned_count_.fetch_add(1, std::memory_order_relaxed);
        transaction_.pages[first + i].page = page;
    }
    if (in_transaction) {
        file_ends_[file] = file_size + count * page_size;
    }
}

// Starts file number file_count + 1 with a copy of the main head. Called under the growth
// and free-list locks.
void PagePool::AddDataFile() {
    int new_file = files_.AddFile();
    if (new_file < 1) {
        vell::ThrowIoError("Create new file error -- Add new page");
    }
    PoolHead file_head;
    {
        vell::ScopedLock head_lock(head_lock_);
        head_.file_count = static_cast<uint32_t>(new_file);
        file_head = head_;
    }
    file_head.file_no = static_cast<uint32_t>(new_file);
    file_head.page_count = 0;
    if (!WriteHeadOrStage(file_head, new_file)) {
        vell::ThrowIoError("Flush file head error1 -- add new page");
    }
    if (InTransaction()) {
        file_ends_[new_file] = file_head.head_area_size;  // its head is only staged so far
    }
    if (!WriteMainHead()) {
        vell::ThrowIoError("Flush file head error2 -- Add new page");
    }
}

uint64_t PagePool::AddNewPages(uint64_t count) {
    vell::ScopedLock growth_lock(growth_lock_);
    vell::ScopedLock free_lock(free_list_lock_);
    if (count == 0) {
        return 0;
    }
    PoolHead head = MainHead();
    const int file = static_cast<int>(head.file_count);
    const uint64_t page_size = head.page_size;
    const uint64_t file_size = FileEnd(file);
    const uint64_t bytes = count * page_size;
    if (bytes == 0) {
        return 0;
    }
    const uint64_t room = head.max_file_size > file_size ? head.max_file_size - file_size : 0;
    if (room < bytes) {
        const uint64_t fitting = room / page_size;
        if (fitting > 0) {
            uint64_t added = AddNewPages(fitting);
            if (added != fitting) {
                return added;
            }
        }
        AddDataFile();
        return fitting + AddNewPages(count - fitting);
    }

    const uint64_t first = head.page_count + 1;
    PlaceFreshPages(file, first, count, file_size);
    if (file != 1) {
        PoolHead file_head = ReadFileHead(file);
        file_head.page_count += count;
        if (!WriteHeadOrStage(file_head, file)) {
            vell::ThrowIoError(vell::kNewFileHeadWriteError);
        }
        if (!InTransaction()) {
            files_.Flush(file);
        }
    }

    // The new pages are counted before the tail links to them, so that they can be pinned.
    SetPageCount(head.page_count + count);
    if (free_tail_ == 0) {
        vell::ScopedLock head_lock(head_lock_);
        head_.free_head = first;
    } else {
        LinkTailTo(first);
    }
    free_tail_ = first + count - 1;
    if (!WriteMainHead()) {
        vell::ThrowIoError("Flush file head error -- Add new page");
    }
    if (!InTransaction()) {
        files_.Flush(1);
    }
    return count;
}

bool PagePool::InitFreePageList() {
    vell::ScopedLock free_lock(free_list_lock_);
    free_tail_ = 0;
    return AddNewPages(options_.add_page_count) != 0;
}

}  // namespace brindle
