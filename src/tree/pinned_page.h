#pragma once

#include <cstdint>

#include "pool/page_handle.h"
#include "pool/pager.h"
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

    PinnedPage(Pager* pool, uint64_t number, const char* where)
        : handle_(Pin(pool, number), pool), view_(handle_.Get(), where) {}
    PinnedPage(Pager* pool, NewTag, const char* where)
        : handle_(Take(pool), pool), view_(handle_.Get(), where) {}
    // Only unpins at the end, whatever the page holds: for readers that must not change the
    // pool, even by returning an unfilled page to the free list.
    PinnedPage(Pager* pool, uint64_t number, ReadOnlyTag, const char* where)
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
    PageHeadReader Head() const { return handle_.Get()->Head(); }
    // The head for changing: the page becomes part of the running write transaction.
    PageHeadView ChangeHead() const { return handle_.Get()->ChangeHead(); }
    TreePage* operator->() { return &view_; }
    TreePage& view() { return view_; }
    PageHandle& handle() { return handle_; }
    // Makes the page part of the running write transaction before its bytes change.
    void MarkChanged() { handle_.Get()->MarkChanged(); }

private:
    static Page* Pin(Pager* pool, uint64_t number) {
        Page* page = pool != nullptr ? pool->GetPage(number) : nullptr;
        if (page == nullptr) {
            vell::ThrowMemoryError(vell::kAllocPageBufferError);
        }
        return page;
    }
    static Page* Take(Pager* pool) {
        Page* page = pool != nullptr ? pool->NewPage() : nullptr;
        if (page == nullptr) {
            vell::ThrowMemoryError(vell::kAllocPageBufferError);
        }
        return page;
    }

    PageHandle handle_;
    TreePage view_;
    Pager* pool_ = nullptr;  // set for read-only pins
};

}  // namespace brindle
