// Page cache and page access of the PagePool.
//
// Lock order: a page table shard's lock comes after the pool's write, growth and free-list
// locks and before the block caches', the files' and the head lock; no two shard locks are
// ever held at once.
#include <cstring>
#include <new>
#include <string>

#include "files/page_cipher.h"
#include "pool/page_pool.h"
#include "vell/date_time.h"
#include "vell/library_errors.h"
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
    return pinned_count_.load(std::memory_order_relaxed);
}

uint64_t PagePool::CachedPageCount() const {
    return cached_count_.load(std::memory_order_relaxed);
}

HeldBlock PagePool::HoldDataBuffer() {
    HeldBlock buffer(data_buffers_);
    if (!buffer) {
        vell::ThrowMemoryError();
    }
    return buffer;
}

Page* PagePool::MakePage(uint32_t page_size) {
    HeldBlock object(page_buffers_);
    HeldBlock data(data_buffers_);
    if (!object || !data) {
        vell::ThrowMemoryError();
    }
    Page* page = new (object.Release()) Page();
    page->data_ = static_cast<uint8_t*>(data.Release());
    page->buffer_size_ = page_size;
    return page;
}

Page* PagePool::PinResident(const PageTable::Shard& shard, uint64_t number) {
    Page* page = PageTable::Find(shard, number);
    if (page == nullptr) {
        return nullptr;
    }
    if (page->data_ == nullptr) {
        vell::OutputLine("Find used page data is NULL error");
    }
    int before = page->ref_count_.fetch_add(1, std::memory_order_acq_rel);
    if (before < 0) {
        vell::OutputLine("Page ref less zero!!!");
    } else if (before == 0) {
        pinned_count_.fetch_add(1, std::memory_order_relaxed);
    }
    return page;
}

// Written only when the second changed, so that touching a hot page stays a read.
void PagePool::Touch(Page* page) {
    const int64_t now = NowSeconds();
    if (page->last_access_.load(std::memory_order_relaxed) != now) {
        page->last_access_.store(now, std::memory_order_relaxed);
    }
}

Page* PagePool::GetPage(uint64_t number) {
    if (number == 0 || number > PageCount()) {
        return nullptr;
    }
    PageTable::Shard& shard = table_.ShardOf(number);
    Page* page = nullptr;
    {
        std::shared_lock lock(shard.lock);
        page = PinResident(shard, number);
    }
    if (page == nullptr) {
        std::unique_lock lock(shard.lock);
        page = PinResident(shard, number);  // another thread may have loaded it meanwhile
        if (page == nullptr) {
            page = LoadPage(number);
            if (page == nullptr) {
                return nullptr;
            }
            page->ref_count_.store(1, std::memory_order_release);
            pinned_count_.fetch_add(1, std::memory_order_relaxed);
            shard.pages.emplace(number, page);
        }
    }
    Touch(page);
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
    Page* page = MakePage(head.page_size);
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

// A pin that leaves the page pinned, or leaves a clean page in the cache, goes under the
// shard lock held shared. The last pin of any other page goes under it held exclusively,
// since the page is then written, entered into the cache or freed.
void PagePool::ReleasePage(Page* page) {
    if (page == nullptr) {
        return;
    }
    PageTable::Shard& shard = table_.ShardOf(page->number_);
    {
        std::shared_lock lock(shard.lock);
        int pins = page->ref_count_.load(std::memory_order_acquire);
        while (pins > 1 || (pins == 1 && !NeedsSettling(page))) {
            if (page->ref_count_.compare_exchange_weak(pins, pins - 1, std::memory_order_acq_rel)) {
                if (pins == 1) {
                    pinned_count_.fetch_sub(1, std::memory_order_relaxed);
                }
                return;
            }
        }
        if (pins <= 0) {
            vell::OutputLine("Page ref error");
            return;
        }
    }
    Page* to_free = nullptr;
    {
        std::unique_lock lock(shard.lock);
        int pins = page->ref_count_.load(std::memory_order_acquire);
        if (pins <= 0) {
            vell::OutputLine("Page ref error");
            return;
        }
        page->ref_count_.store(pins - 1, std::memory_order_release);
        if (pins > 1) {
            return;  // pinned again meanwhile
        }
        pinned_count_.fetch_sub(1, std::memory_order_relaxed);
        to_free = SettleUnpinned(shard, page);
    }
    if (to_free != nullptr) {
        FreeRawPage(to_free);
    }
}

bool PagePool::NeedsSettling(const Page* page) const {
    return !page->cached_ || page->discard_ || (page->IsDirty() && WritesOnRelease(page));
}

// A page whose last pin just went: written when changed, then kept in the cache when it has
// room, else taken out of the table and returned for the caller to free (outside the lock).
// Called under the shard lock, held exclusively.
Page* PagePool::SettleUnpinned(PageTable::Shard& shard, Page* page) {
    if (WritesOnRelease(page) && page->IsDirty() && !page->discard_) {
        page->SetDirty(false);
        if (!WriteToFile(page)) {
            page->SetDirty(true);
        }
    }
    if (page->discard_) {
        ForgetResident(shard, page);
        if (WritesOnRelease(page)) {
            page->discard_ = false;
        }
        vell::OutputLine("--ReLoad FreeRawPage--ref:%d", page->RefCount());
        return page;
    }
    if (page->cached_ || TakeCacheRoom()) {
        page->cached_ = true;
        return nullptr;
    }
    ForgetResident(shard, page);
    return page;
}

bool PagePool::WritesOnRelease(const Page* page) const {
    return !options_.temporary_data && !page->delay_write_;
}

bool PagePool::TakeCacheRoom() {
    uint64_t cached = cached_count_.load(std::memory_order_relaxed);
    while (cached < options_.max_cached_pages) {
        if (cached_count_.compare_exchange_weak(cached, cached + 1, std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

void PagePool::LeaveCache(Page* page) {
    if (page->cached_) {
        page->cached_ = false;
        cached_count_.fetch_sub(1, std::memory_order_relaxed);
    }
}

void PagePool::ForgetResident(PageTable::Shard& shard, Page* page) {
    LeaveCache(page);
    shard.pages.erase(page->number_);
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
    HeldBlock image = HoldDataBuffer();
    EncodeForDisk(page, image.get());
    return files_.Write(image.get(), page->buffer_size_, page->file_, page->position_);
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
    vell::OutputText("-----------Data buffer-----------");
    vell::OutputText("-----------Page buffer------------");
    vell::OutputText("-----------Used page-------------");
    vell::OutputLine("Used page size :%d", static_cast<int>(UsedPageCount()));
    vell::OutputText("-----------Frequency-------------");
    vell::OutputLine("Frequency page size :%d", static_cast<int>(CachedPageCount()));
    std::string free_pages = "Free Page:";
    vell::ScopedLock free_lock(free_list_lock_);
    int walked = 0;
    uint64_t number = free_tail_;
    while (number != 0 && static_cast<uint64_t>(walked) <= PageCount()) {
        Page* page = GetPage(number);
        if (page == nullptr) {
            vell::ThrowMemoryError(vell::kAllocPageBufferError);
        }
        if (page->data_ == nullptr) {
            vell::ThrowMemoryError(vell::kAllocPageDataBufferError);
        }
        free_pages += ' ';
        free_pages += std::to_string(number);
        number = page->Head().Prev();
        ReleasePage(page);
        ++walked;
    }
    vell::OutputText(free_pages);
    vell::OutputLine("Total free page:%d", walked);
}

}  // namespace brindle
