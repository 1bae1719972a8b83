#pragma once

#include <cstdint>

#include "pool/page_handle.h"
#include "pool/page_pool.h"
#include "tree/tree_records.h"
#include "vell/library_errors.h"

namespace brindle {

// A page of the tree pinned for one scope, with checked access to its data area. A page
// that cannot be had throws "MemoryException" / "Alloc page buffer error"; a page whose head
// does not describe a usable page throws the format error named by `where`.
class PinnedPage {
public:
    struct NewTag {};
    struct ReadOnlyTag {};

    PinnedPage(PagePool* pool, uint64_t number, const char* where)
        : handle_(Pin(pool, number), pool), view_(handle_.Get(), where) {}
    PinnedPage(PagePool* pool, NewTag, const char* where)
        : handle_(Take(pool), pool), view_(handle_.Get(), where) {}
    // Only unpins at the end, whatever the page holds: for readers that must not change the
    // pool, even by returning an unfilled page to the free list.
    PinnedPage(PagePool* pool, uint64_t number, ReadOnlyTag, const char* where)
        : handle_(Pin(pool, number), pool), view_(handle_.Get(), where), pool_(pool) {}
    ~PinnedPage() {
        if (pool_ != nullptr) {
            pool_->ReleasePage(handle_.Detach());
        }
    }
    PinnedPage(const PinnedPage&) = delete;
    PinnedPage& operator=(const PinnedPage&) = delete;

    uint64_t Number() const { return handle_.Get()->Number(); }
    Page* page() const { return handle_.Get(); }
    PageHeadView Head() const { return handle_.Get()->Head(); }
    TreePage* operator->() { return &view_; }
    TreePage& view() { return view_; }
    PageHandle& handle() { return handle_; }
    void MarkChanged() { handle_.Get()->SetDirty(); }

private:
    static Page* Pin(PagePool* pool, uint64_t number) {
        Page* page = pool != nullptr ? pool->GetPage(number) : nullptr;
        if (page == nullptr) {
            vell::ThrowMemoryError(vell::kAllocPageBufferError);
        }
        return page;
    }
    static Page* Take(PagePool* pool) {
        Page* page = pool != nullptr ? pool->NewPage() : nullptr;
        if (page == nullptr) {
            vell::ThrowMemoryError(vell::kAllocPageBufferError);
        }
        return page;
    }

    PageHandle handle_;
    TreePage view_;
    PagePool* pool_ = nullptr;  // set for read-only pins
};

}  // namespace brindle
