#pragma once

#include <atomic>
#include <cstdint>

#include "pool/page_head.h"

namespace brindle {

class PagePool;

// One page in memory: its 72-byte head and data area, always in plain text here (the cipher
// applies only on the way to and from the files). Made and owned by the PagePool; the tree
// store reaches pages through PageHandle and changes their bytes directly, setting dirty.
class Page {
public:
    uint64_t Number() const { return number_; }
    uint8_t* Data() { return data_; }
    const uint8_t* Data() const { return data_; }
    PageHeadView Head() { return PageHeadView(data_); }
    // Length of the page buffer (the pool's page size).
    uint32_t BufferSize() const { return buffer_size_; }

    // Free room of the data area, from the head's DataOffset and DataLen; 0 when the head
    // holds values that do not fit the buffer.
    uint32_t FreeRoom() const;
    // Appends n bytes to the data area: n, or 0 (nothing changed) when they do not fit.
    // Clears the head's Unused bit and sets dirty. Throws "Data is NULL -- Page add data"
    // when the page has no buffer.
    uint32_t AddData(const void* bytes, uint32_t n);
    // AddData of the text and then of one NUL: length + 1, or 0. When the text fits but the
    // NUL does not, the text stays added and 0 is returned.
    uint32_t AddString(const char* text);

    bool IsDirty() const { return dirty_.load(std::memory_order_relaxed); }
    void SetDirty(bool dirty = true) { dirty_.store(dirty, std::memory_order_relaxed); }
    bool IsDiscard() const { return discard_; }
    void SetDiscard(bool discard = true) { discard_ = discard; }
    int RefCount() const { return ref_count_.load(std::memory_order_acquire); }

private:
    friend class PagePool;

    uint64_t number_ = 0;
    int file_ = 0;
    uint32_t position_ = 0;
    bool unused_at_load_ = false;
    bool cached_ = false;  // counted in the cache; guarded by the table shard lock
    // Differs from its data file: changed in the running write transaction, or committed to
    // the journal and not yet written to its place. Read by readers' handles while a
    // checkpoint clears it.
    std::atomic<bool> dirty_{false};
    bool discard_ = false;
    bool delay_write_ = false;
    uint8_t* data_ = nullptr;
    uint32_t buffer_size_ = 0;
    // What every pin writes lies a cache line apart from what readers only read, so that
    // threads pinning one page at once do not also make each other miss on its fields.
    char keep_apart_[64] = {};
    // Pins. Raised only under the page's table shard lock (shared is enough); the last pin of
    // a page that is to leave the cache goes only under that lock held exclusively.
    std::atomic<int> ref_count_{0};
    std::atomic<int64_t> last_access_{0};  // seconds; read by the check thread unlocked
};

}  // namespace brindle
