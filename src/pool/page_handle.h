#pragma once

#include <cstdint>

namespace brindle {

class Page;
class Pager;

// Holds one pinned page for the length of a scope. At release (end of scope, Release, or
// assignment of another page) a page still marked Unused (taken by NewPage and never filled)
// goes back to the free list, as does a page marked free on release; any other page is
// simply unpinned.
class PageHandle {
public:
    // Empty for a pager.
    explicit PageHandle(Pager* pager);
    // Pins NewPage() when new_page is set, else GetPage(number). Throws "Execption" /
    // "Get Page error" when no page results (also for a null pager).
    PageHandle(Pager* pager, uint64_t number, bool new_page = false);
    // Adopts the pin of an already pinned page.
    PageHandle(Page* page, Pager* pager);
    ~PageHandle();
    PageHandle(const PageHandle&) = delete;
    PageHandle& operator=(const PageHandle&) = delete;

    // Releases the current page, then holds the given pinned page.
    void Assign(Page* page);
    // Releases the current page, then takes over the other handle's page and settings.
    void Assign(PageHandle& other);
    // Gives up ownership: the caller now holds the pin.
    Page* Detach();
    void SetFree(bool free_on_release) { free_on_release_ = free_on_release; }
    void Release();

    Page* Get() const { return page_; }
    Page* operator->() const { return page_; }
    explicit operator bool() const { return page_ != nullptr; }

private:
    Pager* pager_;
    Page* page_ = nullptr;
    bool owns_ = true;
    bool free_on_release_ = false;
};

}  // namespace brindle
