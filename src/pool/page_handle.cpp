#include "pool/page_handle.h"

#include "pool/page.h"
#include "pool/page_pool.h"
#include "vell/library_errors.h"

namespace brindle {

PageHandle::PageHandle(PagePool* pool) : pool_(pool) {}

PageHandle::PageHandle(PagePool* pool, uint64_t number, bool new_page) : pool_(pool) {
    if (pool_ != nullptr) {
        page_ = new_page ? pool_->NewPage() : pool_->GetPage(number);
    }
    if (page_ == nullptr) {
        vell::ThrowFormatError("Get Page error");
    }
}

PageHandle::PageHandle(Page* page, PagePool* pool) : pool_(pool), page_(page) {}

PageHandle::~PageHandle() {
    Release();
}

void PageHandle::Assign(Page* page) {
    Release();
    page_ = page;
    owns_ = true;
    free_on_release_ = false;
}

void PageHandle::Assign(PageHandle& other) {
    if (&other == this) {
        return;
    }
    Release();
    pool_ = other.pool_;
    page_ = other.page_;
    owns_ = other.owns_;
    free_on_release_ = other.free_on_release_;
    other.page_ = nullptr;  // one pin, one owner
}

Page* PageHandle::Detach() {
    owns_ = false;
    return page_;
}

void PageHandle::Release() {
    Page* page = page_;
    page_ = nullptr;
    if (page == nullptr || pool_ == nullptr || !owns_) {
        owns_ = true;
        free_on_release_ = false;
        return;
    }
    bool never_filled = !page->IsDirty() && page->Head().Has(kPageUnused);
    if (never_filled || free_on_release_) {
        pool_->FreePage(page);
    } else {
        pool_->ReleasePage(page);
    }
    free_on_release_ = false;
}

}  // namespace brindle
