// The Pager's page access: reading pages through the cache, handing out and taking back pages
// through the allocator, and keeping before-images of pages about to change.
#include "pool/pager.h"

#include <chrono>
#include <cstring>

#include "files/page_cipher.h"
#include "vell/library_errors.h"
#include "vell/output.h"

namespace brindle {

Pager::Pager() : allocator_(head_, files_, *this, options_) {}

Pager::~Pager() {
    Close();
}

void Pager::SetTreeAnchor(uint32_t tree_flags, uint64_t first_queue_page) {
    head_.Update([&](PoolHead& head) {
        head.tree_flags = tree_flags;
        head.first_queue_page = first_queue_page;
    });
}

Page* Pager::GetPage(uint64_t number) {
    if (number == 0 || number > PageCount()) {
        return nullptr;
    }
    PageReadRecorder::Note(number);
    return cache_.Pin(number, [this](uint64_t n, uint8_t* buffer, int& file, uint32_t& position) {
        return LoadPage(n, buffer, file, position);
    });
}

Page* Pager::PinForChange(uint64_t number) {
    Page* page = GetPage(number);
    if (page != nullptr) {
        page->MarkChanged();
    }
    return page;
}

void Pager::ReleasePage(Page* page) {
    cache_.Unpin(page);
}

Page* Pager::NewPage() {
    return allocator_.Take();
}

void Pager::FreePage(Page* page) {
    allocator_.Free(page);
}

uint64_t Pager::AddNewPages(uint64_t count) {
    return allocator_.Grow(count);
}

bool Pager::InitFreePageList() {
    return allocator_.RebuildFreeList();
}

// Reads page n into `buffer`, deciphered. False when the page cannot be placed, its number
// does not match or its data cannot be deciphered: the files do not hold that page. A read
// the operating system refuses throws, so that a failed read is never taken for damage.
bool Pager::LoadPage(uint64_t number, uint8_t* buffer, int& file, uint32_t& position) {
    // Another process's commit not yet in the data files is read from its image.
    if (follows_others_ && LoadUnwritten(number, buffer, file, position)) {
        return true;
    }
    const PoolHead head = MainHead();
    if (!GetPagePosition(head, number, file, position)) {
        vell::OutputLine("Get index pos error -- index :%d", static_cast<int>(number));
        return false;
    }
    if (!files_.Read(buffer, head.page_size, file, position)) {
        vell::OutputLine("Read file data failed -- GetPage -- findex:%d,pos:%d", file,
                         static_cast<int>(position));
        // Past the end of a file cut short the page is simply not there (damage, read as
        // zeros); any other failure is the system's, and must not pass for damage.
        uint64_t size = 0;
        if (!files_.GetSize64(file, size) ||
            static_cast<uint64_t>(position) + head.page_size <= size) {
            vell::ThrowIoError("Read file data failed -- GetPage");
        }
    }
    PageHeadReader view(buffer);
    if (view.PageNo() != number) {
        vell::OutputLine("Read data format error");
        return false;
    }
    if (view.Has(kPageEncrypted) && !view.Has(kPageUnused)) {
        uint32_t offset = view.DataOffset();
        if (offset > head.page_size ||
            !PageCipher::Encipher(buffer + offset, head.page_size - offset)) {
            vell::OutputLine("Decrypt error");
            return false;
        }
    }
    return true;
}

bool Pager::DecodeFromDisk(const uint8_t* image, uint8_t* out, uint32_t page_size) const {
    std::memcpy(out, image, page_size);
    PageHeadReader view(out);
    if (view.Has(kPageEncrypted) && !view.Has(kPageUnused)) {
        uint32_t offset = view.DataOffset();
        return offset <= page_size && PageCipher::Encipher(out + offset, page_size - offset);
    }
    return true;
}

void Pager::EncodeForDisk(const Page* page, uint8_t* out) const {
    const uint32_t size = page->BufferSize();
    PageHeadReader view(page->Data());
    if (view.Has(kPageEncrypted) && !view.Has(kPageUnused)) {
        uint32_t offset = view.DataOffset() <= size ? view.DataOffset() : size;
        std::memcpy(out, page->Data(), offset);
        PageCipher::EncipherCopy(page->Data() + offset, out + offset, size - offset);
    } else {
        std::memcpy(out, page->Data(), size);
    }
}

bool Pager::InTransaction() const {
    return transaction_active_.load(std::memory_order_acquire) &&
           transaction_owner_.load(std::memory_order_acquire) == std::this_thread::get_id();
}

// Runs on the transaction's thread only, so the transaction's fields are its own here.
void Pager::BeforeChange(Page& page) {
    if (!InTransaction()) {
        vell::ThrowIoError("Page changed outside a write transaction");
    }
    GateHeldByThisThread();
    if (page.CapturedBy() == transaction_.stamp) {
        return;  // already part of the change at this level
    }
    auto [entry, inserted] = transaction_.pages.try_emplace(page.Number());
    if (inserted) {
        entry->second.page = &page;
        entry->second.before.reset(new uint8_t[page.BufferSize()]);
        std::memcpy(entry->second.before.get(), page.Data(), page.BufferSize());
        cache_.AddPin(&page);  // the transaction's own pin
        if (!transaction_.savepoints.empty()) {
            transaction_.savepoints.back().new_pages.insert(page.Number());
        }
    } else if (!transaction_.savepoints.empty()) {
        // Changed before the savepoint: keep its bytes as they are at the savepoint.
        auto& images = transaction_.savepoints.back().images;
        if (images.find(page.Number()) == images.end()) {
            std::unique_ptr<uint8_t[]> image(new uint8_t[page.BufferSize()]);
            std::memcpy(image.get(), page.Data(), page.BufferSize());
            images.emplace(page.Number(), std::move(image));
        }
    }
    page.SetCapturedBy(transaction_.stamp);
}

void Pager::AddFresh(uint64_t number, int file, uint32_t position, const uint8_t* bytes) {
    if (!InTransaction()) {
        vell::ThrowIoError("Page changed outside a write transaction");
    }
    GateHeldByThisThread();
    Page* page = cache_.AddFresh(number, file, position, bytes);
    page->SetCapturedBy(transaction_.stamp);
    Captured& captured = transaction_.pages[number];
    captured.page = page;
    captured.before.reset();
    if (!transaction_.savepoints.empty()) {
        transaction_.savepoints.back().new_pages.insert(number);
    }
}

void Pager::SetFileHead(int file, const PoolHead& head) {
    if (!InTransaction()) {
        vell::ThrowIoError("Page changed outside a write transaction");
    }
    GateHeldByThisThread();
    transaction_.file_heads[file] = head;
}

uint64_t Pager::LatestSequence() const {
    return shared_.IsOpen() ? shared_.Sequence() : 0;
}

uint64_t Pager::WaitForCommit(uint64_t seen, int timeout_ms) {
    if (!shared_.IsOpen()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return 0;
    }
    return shared_.WaitForChange(seen, timeout_ms);
}

}  // namespace brindle
