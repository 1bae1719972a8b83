#pragma once

#include <atomic>
#include <cstdint>

#include "pool/page_head.h"

namespace brindle {

class Page;

// Told before a page held in memory is first changed, so that the change can be made part of
// a write transaction (its before-image kept) or refused.
class PageChangeListener {
public:
    virtual ~PageChangeListener() = default;
    // Called before every change of the page's bytes made through ChangeHead, ChangeData,
    // AddData or MarkChanged; cheap when the page is already part of the running change.
    // Throws when the page may not be changed now (no write transaction on this thread).
    virtual void BeforeChange(Page& page) = 0;
};

// One page in memory: its 72-byte head and data area, always in plain text here (the cipher
// applies only on the way to and from the files). Made and owned by the PageCache.
//
// Readers look at the bytes through Head() and Data(). A change goes through ChangeHead(),
// ChangeData(), AddData() or MarkChanged(), each of which first tells the page's listener, so
// that the pager keeps the page's before-image and writes the page at commit: a page that is
// only read costs the transaction nothing.
class Page {
public:
    uint64_t Number() const { return number_; }
    const uint8_t* Data() const { return data_; }
    PageHeadReader Head() const { return PageHeadReader(data_); }
    // Length of the page buffer (the pool's page size).
    uint32_t BufferSize() const { return buffer_size_; }

    // The head and the whole buffer for changing; tell the listener first.
    PageHeadView ChangeHead() {
        MarkChanged();
        return PageHeadView(data_);
    }
    uint8_t* ChangeData() {
        MarkChanged();
        return data_;
    }
    // Tells the listener that the page is about to change.
    void MarkChanged() {
        if (listener_ != nullptr) {
            listener_->BeforeChange(*this);
        }
    }

    // Free room of the data area, from the head's DataOffset and DataLen; 0 when the head
    // holds values that do not fit the buffer.
    uint32_t FreeRoom() const;
    // Appends n bytes to the data area: n, or 0 (nothing changed) when they do not fit.
    // Clears the head's Unused bit. Throws "Data is NULL -- Page add data" when the page has
    // no buffer.
    uint32_t AddData(const void* bytes, uint32_t n);
    // AddData of the text and then of one NUL: length + 1, or 0. When the text fits but the
    // NUL does not, the text stays added and 0 is returned.
    uint32_t AddString(const char* text);

    // Puts back bytes the page held before (a rollback), without telling the listener.
    void RestoreBytes(const uint8_t* bytes);
    // A discarded page is dropped from memory at its last unpin instead of being cached.
    bool IsDiscard() const { return discard_; }
    void SetDiscard(bool discard = true) { discard_ = discard; }
    int RefCount() const { return ref_count_.load(std::memory_order_acquire); }

    // Where the page lives in the data files.
    int File() const { return file_; }
    uint32_t Position() const { return position_; }

    // The write transaction that holds this page's before-image (0: none). Kept by the pager.
    uint64_t CapturedBy() const { return captured_by_; }
    void SetCapturedBy(uint64_t transaction) { captured_by_ = transaction; }

private:
    friend class PageCache;

    uint64_t number_ = 0;
    int file_ = 0;
    uint32_t position_ = 0;
    bool cached_ = false;  // counted in the cache; guarded by the table shard lock
    bool discard_ = false;
    uint64_t captured_by_ = 0;
    PageChangeListener* listener_ = nullptr;
    uint8_t* data_ = nullptr;
    uint32_t buffer_size_ = 0;
    // What every pin writes lies a cache line apart from what readers only read, so that
    // threads pinning one page at once do not also make each other miss on its fields.
    char keep_apart_[64] = {};
    // Pins. Raised only under the page's table shard lock (shared is enough); the last pin of
    // a page that is to leave the cache goes only under that lock held exclusively.
    std::atomic<int> ref_count_{0};
    std::atomic<int64_t> last_access_{0};  // seconds; read by the idle walk unlocked
};

}  // namespace brindle
