// Page allocation of the PagePool: the free list and growth.
//
// The free list is doubly linked through the page heads' Next and Prev and used as a stack
// at its tail; its head is FreeHead in the main head, its tail is known only in memory.
// Growth appends a batch of pages at the end of the last file, filling it up to
// MaxFileSize before a new numbered file with its own head is added.
#include <cstring>

#include "md_exception.h"
#include "pool/page_handle.h"
#include "pool/page_pool.h"
#include "vell/output.h"

namespace brindle {
namespace {

// Pins a neighbour page of the free list; null when it cannot be read.
Page* PinFreeListPage(PagePool& pool, uint64_t number) {
    Page* page = pool.GetPage(number);
    if (page != nullptr && page->Data() == nullptr) {
        pool.ReleasePage(page);
        throw MDException("MemoryException", "Alloc page data buffer error");
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
        throw MDException("MemoryException", "Alloc page buffer error");
    }
    if (tail->Data() == nullptr) {
        ReleasePage(tail);
        throw MDException("MemoryException", "Alloc page data buffer error");
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

uint64_t PagePool::AddNewPages(uint64_t count) {
    vell::ScopedLock growth_lock(growth_lock_);
    vell::ScopedLock free_lock(free_list_lock_);
    if (count == 0) {
        return 0;
    }
    PoolHead head = MainHead();
    const int file = static_cast<int>(head.file_count);
    const uint64_t page_size = head.page_size;
    uint32_t file_size = 0;
    if (!files_.GetSize(file, file_size)) {
        throw MDException("IOException", "Get file size error -- Add new pages");
    }
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
        int new_file = files_.AddFile();
        if (new_file < 1) {
            throw MDException("IOException", "Create new file error -- Add new page");
        }
        PoolHead file_head;
        {
            vell::ScopedLock head_lock(head_lock_);
            head_.file_count = static_cast<uint32_t>(new_file);
            file_head = head_;
        }
        file_head.file_no = static_cast<uint32_t>(new_file);
        file_head.page_count = 0;
        if (!WriteHead(file_head, head.page_size, new_file)) {
            throw MDException("IOException", "Flush file head error1 -- add new page");
        }
        if (!WriteMainHead()) {
            throw MDException("IOException", "Flush file head error2 -- Add new page");
        }
        return fitting + AddNewPages(count - fitting);
    }

    if (!files_.ResetSize(static_cast<uint32_t>(file_size + bytes), file)) {
        throw MDException("IOException", "Reset file size error -- Add new pages");
    }
    uint8_t* buffer = static_cast<uint8_t*>(TakeDataBuffer());
    std::memset(buffer, 0, page_size);
    PageHeadView fresh(buffer);
    fresh.InitFresh(head.page_size, kPageUnused | (head.flags & kHeadEncrypted));
    const uint64_t first = head.page_count + 1;
    for (uint64_t i = 0; i < count; ++i) {
        fresh.SetPageNo(first + i);
        fresh.SetNext(i + 1 == count ? 0 : first + i + 1);
        fresh.SetPrev(i == 0 ? free_tail_ : first + i - 1);
        fresh.SetFileIndex(static_cast<uint32_t>(file));
        uint32_t position = static_cast<uint32_t>(file_size + i * page_size);
        fresh.SetPos(position);
        if (!files_.Write(buffer, head.page_size, file, position)) {
            data_buffers_.Release(buffer);
            files_.ResetSize(file_size, file);
            throw MDException("IOException", "Write file error -- Add new pages");
        }
    }
    if (file != 1) {
        bool read = files_.Read(buffer, head.head_area_size, file, 0);
        if (!read) {
            data_buffers_.Release(buffer);
            throw MDException("IOException", "Read file head error -- add new pages");
        }
        PoolHead file_head = PoolHead::Decode(buffer);
        file_head.page_count += count;
        if (!WriteHead(file_head, head.page_size, file)) {
            data_buffers_.Release(buffer);
            throw MDException("IOException", "Write file head error -- add new papges");
        }
        files_.Flush(file);
    }
    data_buffers_.Release(buffer);

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
        throw MDException("IOException", "Flush file head error -- Add new page");
    }
    files_.Flush(1);
    return count;
}

bool PagePool::InitFreePageList() {
    vell::ScopedLock free_lock(free_list_lock_);
    free_tail_ = 0;
    return AddNewPages(options_.add_page_count) != 0;
}

}  // namespace brindle
