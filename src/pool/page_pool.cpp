// Page cache and page access of the PagePool.
//
// Lock orders: GetPage takes the page lock, and under it the used-map and frequency-map locks
// for lookups only, then the reference lock with the used-map lock inside it. ReleasePage
// takes the release lock, then the reference lock with the used-map lock inside it, then (with
// the reference lock left) the frequency-map lock or the page lock. The head lock is always
// innermost.
#include <cstdio>
#include <cstring>
#include <new>

#include "files/page_cipher.h"
#include "md_exception.h"
#include "pool/check_pages_thread.h"
#include "pool/page_pool.h"
#include "vell/date_time.h"
#include "vell/output.h"

namespace brindle {
namespace {

int64_t NowSeconds() {
    return vell::DateTime::Now().Count();
}

}  // namespace

PagePool::PagePool() = default;

PagePool::~PagePool() {
    Close();
}

PoolHead PagePool::MainHead() const {
    vell::ScopedLock lock(head_lock_);
    return head_;
}

uint64_t PagePool::FreeTail() const {
    vell::ScopedLock lock(free_list_lock_);
    return free_tail_;
}

void PagePool::SetTreeAnchor(uint32_t tree_flags, uint64_t first_queue_page) {
    vell::ScopedLock lock(head_lock_);
    head_.tree_flags = tree_flags;
    head_.first_queue_page = first_queue_page;
}

bool PagePool::WriteMainHead() {
    if (InTransaction()) {
        return true;  // the commit journals the head when it changed
    }
    PoolHead head = MainHead();
    return WriteHead(head, head.page_size, 1);
}

size_t PagePool::UsedPageCount() const {
    vell::ScopedLock lock(used_lock_);
    return used_.size();
}

uint64_t PagePool::CachedPageCount() const {
    return frequency_count_.load();
}

void* PagePool::TakeDataBuffer() {
    void* buffer = data_buffers_.Get();
    if (buffer == nullptr) {
        throw MDException("MemoryException", "Alloc memory error");
    }
    return buffer;
}

Page* PagePool::FindUsed(uint64_t number) {
    vell::ScopedLock lock(used_lock_);
    auto found = used_.find(number);
    return found == used_.end() ? nullptr : found->second;
}

Page* PagePool::FindCached(uint64_t number) {
    vell::ScopedLock lock(frequency_lock_);
    auto found = frequency_.find(number);
    return found == frequency_.end() ? nullptr : found->second;
}

Page* PagePool::GetPage(uint64_t number) {
    if (number == 0 || number > PageCount()) {
        return nullptr;
    }
    vell::ScopedLock page_lock(page_lock_);
    Page* page = FindUsed(number);
    if (page != nullptr && page->data_ == nullptr) {
        vell::OutputLine("Find used page data is NULL error");
    }
    if (page == nullptr) {
        page = FindCached(number);
    }
    if (page == nullptr) {
        page = LoadPage(number);
        if (page == nullptr) {
            return nullptr;
        }
    }
    {
        vell::ScopedLock reference_lock(reference_lock_);
        if (++page->ref_count_ < 1) {
            vell::OutputLine("Page ref less zero!!!");
        }
        // The first pin enters the page into the used map. (A release that just took the page
        // to 0 may have dropped it from there; it is entered again.)
        if (page->ref_count_ == 1) {
            vell::ScopedLock used_lock(used_lock_);
            used_[number] = page;
        }
    }
    page->last_access_.store(NowSeconds(), std::memory_order_relaxed);
    if (transaction_active_.load(std::memory_order_acquire) && InTransaction()) {
        Capture(page);
    }
    return page;
}

// Reads page n into fresh buffers; null (buffers returned) when it cannot be placed, its
// number does not match or its data cannot be deciphered. Called under the page lock.
Page* PagePool::LoadPage(uint64_t number) {
    int file = 0;
    uint32_t position = 0;
    PoolHead head = MainHead();
    if (!GetPagePosition(head, number, file, position)) {
        vell::OutputLine("Get index pos error -- index :%d", static_cast<int>(number));
        return nullptr;
    }
    void* object = page_buffers_.Get();
    if (object == nullptr) {
        throw MDException("MemoryException", "Alloc memory error");
    }
    void* data = data_buffers_.Get();
    if (data == nullptr) {
        page_buffers_.Release(object);
        throw MDException("MemoryException", "Alloc memory error");
    }
    Page* page = new (object) Page();
    page->data_ = static_cast<uint8_t*>(data);
    page->buffer_size_ = head.page_size;
    if (!files_.Read(page->data_, head.page_size, file, position)) {
        vell::OutputLine("Read file data failed -- GetPage -- findex:%d,pos:%d", file,
                         static_cast<int>(position));
    }
    PageHeadView view = page->Head();
    if (view.PageNo() != number) {
        page->discard_ = true;
        FreeRawPage(page);
        vell::OutputLine("Read data format error");
        return nullptr;
    }
    if (view.Has(kPageEncrypted) && !view.Has(kPageUnused)) {
        uint32_t offset = view.DataOffset();
        if (offset > head.page_size ||
            !PageCipher::Encipher(page->data_ + offset, head.page_size - offset)) {
            page->discard_ = true;
            FreeRawPage(page);
            vell::OutputLine("Decrypt error");
            return nullptr;
        }
    }
    page->number_ = number;
    // Written back where it was read from, whatever its head claims.
    page->file_ = file;
    page->position_ = position;
    page->unused_at_load_ = view.Has(kPageUnused);
    page->delay_write_ = view.Has(kPageDelayWrite);
    return page;
}

void PagePool::ReleasePage(Page* page) {
    if (page == nullptr) {
        return;
    }
    vell::ScopedLock release_lock(release_lock_);
    int remaining = 0;
    {
        vell::ScopedLock reference_lock(reference_lock_);
        remaining = --page->ref_count_;
        if (remaining < 0) {
            ++page->ref_count_;
            vell::OutputLine("Page ref error");
            return;
        }
    }
    if (remaining > 0) {
        return;
    }
    // Written while still in the used map, so that nobody reads a stale copy from the file.
    if (!options_.temporary_data && !page->delay_write_ && page->IsDirty() && !page->discard_) {
        page->SetDirty(false);
        if (!WriteToFile(page)) {
            page->SetDirty(true);
        }
    }
    {
        vell::ScopedLock reference_lock(reference_lock_);
        if (page->ref_count_ != 0) {
            return;  // pinned again meanwhile
        }
        vell::ScopedLock used_lock(used_lock_);
        used_.erase(page->number_);
    }
    if (page->discard_) {
        vell::ScopedLock page_lock(page_lock_);
        if (page->ref_count_ != 0) {
            return;
        }
        {
            vell::ScopedLock frequency_lock(frequency_lock_);
            if (frequency_.erase(page->number_) > 0) {
                --frequency_count_;
            }
        }
        if (!options_.temporary_data && !page->delay_write_) {
            page->discard_ = false;
        }
        vell::OutputLine("--ReLoad FreeRawPage--ref:%d", page->ref_count_);
        FreeRawPage(page);
        return;
    }
    {
        vell::ScopedLock frequency_lock(frequency_lock_);
        if (frequency_.count(page->number_) > 0) {
            return;
        }
        if (frequency_count_ < options_.max_cached_pages) {
            frequency_.emplace(page->number_, page);
            ++frequency_count_;
            return;
        }
    }
    vell::ScopedLock page_lock(page_lock_);
    if (page->ref_count_ == 0 && FindCached(page->number_) == nullptr) {
        FreeRawPage(page);
    }
}

bool PagePool::WritePage(Page* page) {
    if (page == nullptr || page->data_ == nullptr) {
        return false;
    }
    if (InTransaction()) {
        page->SetDirty();  // reaches the disk through the journal at commit
        return true;
    }
    return WriteToFile(page);
}

void PagePool::EncodeForDisk(const Page* page, uint8_t* out) const {
    const uint32_t size = page->buffer_size_;
    PageHeadView view(page->data_);
    if (view.Has(kPageEncrypted) && !view.Has(kPageUnused)) {
        uint32_t offset = view.DataOffset() <= size ? view.DataOffset() : size;
        std::memcpy(out, page->data_, offset);
        PageCipher::EncipherCopy(page->data_ + offset, out + offset, size - offset);
    } else {
        std::memcpy(out, page->data_, size);
    }
}

bool PagePool::WriteToFile(Page* page) {
    uint8_t* image = static_cast<uint8_t*>(TakeDataBuffer());
    EncodeForDisk(page, image);
    bool written = files_.Write(image, page->buffer_size_, page->file_, page->position_);
    data_buffers_.Release(image);
    return written;
}

void PagePool::FreeRawPage(Page* page) {
    if (page == nullptr) {
        return;
    }
    if ((options_.temporary_data || page->delay_write_) && page->IsDirty() && !page->discard_) {
        WriteToFile(page);
        page->SetDirty(false);
    }
    page->discard_ = false;
    if (page->data_ != nullptr) {
        data_buffers_.Release(page->data_);
    }
    page->~Page();
    page_buffers_.Release(page);
}

void PagePool::Dump() {
    std::printf("-----------Data buffer-----------\n");
    std::printf("-----------Page buffer------------\n");
    std::printf("-----------Used page-------------\n");
    std::printf("Used page size :%d\n", static_cast<int>(UsedPageCount()));
    std::printf("-----------Frequency-------------\n");
    {
        vell::ScopedLock lock(frequency_lock_);
        std::printf("Frequency page size :%d\n", static_cast<int>(frequency_.size()));
    }
    std::printf("Free Page:");
    vell::ScopedLock free_lock(free_list_lock_);
    int walked = 0;
    uint64_t number = free_tail_;
    while (number != 0 && static_cast<uint64_t>(walked) <= PageCount()) {
        Page* page = GetPage(number);
        if (page == nullptr) {
            throw MDException("MemoryException", "Alloc page buffer error");
        }
        if (page->data_ == nullptr) {
            throw MDException("MemoryException", "Alloc page data buffer error");
        }
        std::printf(" %llu", static_cast<unsigned long long>(number));
        number = page->Head().Prev();
        ReleasePage(page);
        ++walked;
    }
    std::printf("\nTotal free page:%d\n", walked);
    std::fflush(stdout);
}

}  // namespace brindle
