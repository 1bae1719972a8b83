#include "pool/page_allocator.h"

#include <algorithm>
#include <vector>

#include "vell/library_errors.h"
#include "vell/output.h"

namespace brindle {

PageAllocator::PageAllocator(MainHead& head, DataFileSet& files, PageSource& pages,
                             const PoolOptions& options)
    : head_(head), files_(files), pages_(pages), options_(options) {}

uint64_t PageAllocator::FreeTail() const {
    vell::MutexLock lock(mutex_);
    return free_tail_;
}

PageAllocator::State PageAllocator::Snapshot() const {
    vell::MutexLock lock(mutex_);
    return State{free_tail_, files_.FileCount(), file_ends_, file_heads_};
}

void PageAllocator::Restore(const State& state) {
    vell::MutexLock lock(mutex_);
    free_tail_ = state.free_tail;
    file_ends_ = state.file_ends;
    file_heads_ = state.file_heads;
    while (files_.FileCount() > state.file_count) {
        files_.RemoveLastFile();
    }
}

PageAllocator::ListState PageAllocator::FindFreeTail() {
    vell::MutexLock lock(mutex_);
    free_tail_ = 0;
    uint64_t number = head_.Get().free_head;
    if (number == 0) {
        return ListState::kSound;
    }
    const uint64_t limit = head_.PageCount();
    uint64_t walked = 0;
    while (true) {
        if (number > limit || ++walked > limit) {
            return ListState::kBroken;
        }
        Page* page = pages_.Pin(number);
        if (page == nullptr || !page->Head().Has(kPageUnused)) {
            pages_.Unpin(page);
            return ListState::kBroken;
        }
        uint64_t next = page->Head().Next();
        pages_.Unpin(page);
        if (next == 0) {
            free_tail_ = number;
            return ListState::kSound;
        }
        number = next;
    }
}

PageAllocator::ListState PageAllocator::Reload(const std::map<int, PoolHead>& heads) {
    {
        vell::MutexLock lock(mutex_);
        file_ends_.clear();
        file_heads_ = heads;
        const PoolHead head = head_.Get();
        int file = 0;
        uint32_t position = 0;
        if (head.page_count > 0 && GetPagePosition(head, head.page_count, file, position)) {
            file_ends_[file] = static_cast<uint64_t>(position) + head.page_size;
        }
        const int last = static_cast<int>(head.file_count);
        if (last > file && last > 1) {
            // A file added with no page in it yet holds only its head.
            file_ends_[last] = head.head_area_size;
        }
    }
    return FindFreeTail();
}

Page* PageAllocator::Take() {
    vell::MutexLock lock(mutex_);
    Page* page = nullptr;
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool bad_free_page = false;
        page = TakeLocked(bad_free_page);
        if (page != nullptr || !bad_free_page || !options_.repair_free_list) {
            return page;
        }
        vell::OutputLine("Skip bad free page list,will InitFreePageList!!!");
        free_tail_ = 0;
        GrowLocked(options_.add_page_count);
    }
    return page;
}

Page* PageAllocator::TakeLocked(bool& bad_free_page) {
    if (free_tail_ == 0 && GrowLocked(options_.add_page_count) == 0) {
        return nullptr;
    }
    Page* tail = pages_.PinForChange(free_tail_);
    if (tail == nullptr || !tail->Head().Has(kPageUnused)) {
        vell::OutputLine("Get free page unused flag error");
        pages_.Unpin(tail);
        bad_free_page = true;
        return nullptr;
    }
    uint64_t previous = tail->Head().Prev();
    if (previous == 0) {
        free_tail_ = 0;
        head_.Update([](PoolHead& head) { head.free_head = 0; });
    } else {
        Page* before = pages_.PinForChange(previous);
        if (before == nullptr || !before->Head().Has(kPageUnused)) {
            vell::OutputLine("Get free page unused flag error");
            pages_.Unpin(before);
            pages_.Unpin(tail);
            bad_free_page = true;
            return nullptr;
        }
        before->ChangeHead().SetNext(0);
        pages_.Unpin(before);
        free_tail_ = previous;
    }
    PageHeadView head = tail->ChangeHead();
    head.SetPrev(0);
    head.SetNext(0);
    return tail;  // still pinned; the first AddData clears Unused
}

void PageAllocator::Free(Page* page) {
    if (page == nullptr) {
        return;
    }
    vell::MutexLock lock(mutex_);
    PageHeadReader current = page->Head();
    const uint64_t number = page->Number();
    // A page is already on the list when it is Unused and linked, or is the list's only page.
    bool on_list = current.Has(kPageUnused) &&
                   (current.Prev() != 0 || current.Next() != 0 || number == free_tail_);
    if (on_list) {
        pages_.Unpin(page);
        return;
    }
    PageHeadView head = page->ChangeHead();
    head.SetFlags(kPageUnused);
    head.SetPrev(free_tail_);
    head.SetNext(0);
    head.SetDataLen(0);
    head.SetDataOffset(kPageHeadSize);
    head.SetPieceCount(0);
    if (free_tail_ == 0) {
        head_.Update([number](PoolHead& main) { main.free_head = number; });
    } else {
        LinkTailTo(number);
    }
    free_tail_ = number;
    pages_.Unpin(page);
}

void PageAllocator::LinkTailTo(uint64_t next) {
    Page* tail = pages_.PinForChange(free_tail_);
    if (tail == nullptr) {
        vell::ThrowMemoryError(vell::kAllocPageBufferError);
    }
    tail->ChangeHead().SetNext(next);
    pages_.Unpin(tail);
}

uint64_t PageAllocator::FileEnd(int file) {
    auto known = file_ends_.find(file);
    if (known != file_ends_.end()) {
        return known->second;
    }
    uint32_t file_size = 0;
    if (!files_.GetSize(file, file_size)) {
        vell::ThrowIoError("Get file size error -- Add new pages");
    }
    file_ends_[file] = file_size;
    return file_size;
}

PoolHead PageAllocator::FileHead(int file) {
    auto known = file_heads_.find(file);
    if (known != file_heads_.end()) {
        return known->second;
    }
    const uint32_t area_size = head_.Get().head_area_size;
    std::vector<uint8_t> area(std::max<uint32_t>(area_size, kPoolHeadSize), 0);
    if (!files_.Read(area.data(), area_size, file, 0)) {
        vell::ThrowIoError("Read file head error -- add new pages");
    }
    PoolHead head = PoolHead::Decode(area.data());
    file_heads_[file] = head;
    return head;
}

// Makes `count` fresh free pages numbered from `first` at the end of `file`, linked to each
// other and back to the free list's tail, as part of the running transaction.
void PageAllocator::PlaceFreshPages(int file, uint64_t first, uint64_t count, uint64_t file_size) {
    const PoolHead head = head_.Get();
    const uint32_t page_size = head.page_size;
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
        pages_.AddFresh(first + i, file, position, buffer.data());
    }
    file_ends_[file] = file_size + count * page_size;
}

// Starts file number file_count + 1 with a copy of the main head.
void PageAllocator::AddDataFile() {
    int new_file = files_.AddFile();
    if (new_file < 1) {
        vell::ThrowIoError("Create new file error -- Add new page");
    }
    PoolHead file_head;
    head_.Update([&](PoolHead& main) {
        main.file_count = static_cast<uint32_t>(new_file);
        file_head = main;
    });
    file_head.file_no = static_cast<uint32_t>(new_file);
    file_head.page_count = 0;
    file_heads_[new_file] = file_head;
    pages_.SetFileHead(new_file, file_head);
    file_ends_[new_file] = file_head.head_area_size;
}

uint64_t PageAllocator::Grow(uint64_t count) {
    vell::MutexLock lock(mutex_);
    return GrowLocked(count);
}

uint64_t PageAllocator::GrowLocked(uint64_t count) {
    if (count == 0) {
        return 0;
    }
    PoolHead head = head_.Get();
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
            uint64_t added = GrowLocked(fitting);
            if (added != fitting) {
                return added;
            }
        }
        AddDataFile();
        return fitting + GrowLocked(count - fitting);
    }

    const uint64_t first = head.page_count + 1;
    PlaceFreshPages(file, first, count, file_size);
    if (file != 1) {
        PoolHead file_head = FileHead(file);
        file_head.page_count += count;
        file_heads_[file] = file_head;
        pages_.SetFileHead(file, file_head);
    }
    // The new pages are counted before the tail links to them, so that they can be pinned.
    // (The list's emptiness is read here, under mutex_, not inside the head's update.)
    const bool list_empty = free_tail_ == 0;
    head_.Update([&](PoolHead& main) {
        main.page_count = head.page_count + count;
        if (list_empty) {
            main.free_head = first;
        }
    });
    if (free_tail_ != 0) {
        LinkTailTo(first);
    }
    free_tail_ = first + count - 1;
    return count;
}

bool PageAllocator::RebuildFreeList() {
    vell::MutexLock lock(mutex_);
    free_tail_ = 0;
    return GrowLocked(options_.add_page_count) != 0;
}

}  // namespace brindle
