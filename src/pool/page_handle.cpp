#include "pool/page_handle.h"

#include "pool/page.h"
#include "pool/pager.h"
#include "vell/library_errors.h"

namespace brindle {

PageHandle::PageHandle(Pager* pager) : pager_(pager) {}

PageHandle::PageHandle(Pager* pager, uint64_t number, bool new_page) : pager_(pager) {
    if (pager_ != nullptr) {
        page_ = new_page ? pager_->NewPage() : pager_->GetPage(number);
    }
    if (page_ == nullptr) {
        vell::ThrowFormatError("Get Page error");
    }
}

PageHandle::PageHandle(Page* page, Pager* pager) : pager_(pager), page_(page) {}

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
    pager_ = other.pager_;
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
    if (page == nullptr || pager_ == nullptr || !owns_) {
        owns_ = true;
        free_on_release_ = false;
        return;
    }
    bool never_filled = page->Head().Has(kPageUnused);
    if (never_filled || free_on_release_) {
        pager_->FreePage(page);
    } else {
        pager_->ReleasePage(page);
    }
    free_on_release_ = false;
}

}  // namespace brindle
