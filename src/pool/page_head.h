#pragma once

#include <cstdint>

#include "vell/endian.h"

namespace brindle {

// Layout of the 72-byte head at the start of every page. The head is never enciphered.
inline constexpr uint32_t kPageHeadSize = 72;

// Page head flag bits.
inline constexpr uint32_t kPageUnused = 0x1;         // the page is on the free list
inline constexpr uint32_t kPageMoreData = 0x4;       // the last piece runs on into Next
inline constexpr uint32_t kPageContinuedData = 0x8;  // the first piece continues Prev's
inline constexpr uint32_t kPageEncrypted = 0x40;     // the data area is enciphered on disk
inline constexpr uint32_t kPageDelayWrite = 0x80;    // written only when it leaves memory

// Reads the fields of a page head in place, little-endian at their offsets. The reader does
// not own the bytes; it must point at a buffer of at least kPageHeadSize.
class PageHeadReader {
public:
    explicit PageHeadReader(const uint8_t* page) : p_(page) {}

    uint64_t PageNo() const { return vell::LoadU64(p_ + 0x00); }
    uint32_t FileIndex() const { return vell::LoadU32(p_ + 0x08); }
    uint32_t Pos() const { return vell::LoadU32(p_ + 0x0C); }
    uint32_t PageType() const { return vell::LoadU32(p_ + 0x10); }
    uint32_t Reserved14() const { return vell::LoadU32(p_ + 0x14); }
    uint32_t Reserved18() const { return vell::LoadU32(p_ + 0x18); }
    uint32_t Flags() const { return vell::LoadU32(p_ + 0x1C); }
    uint32_t HeadSize() const { return vell::LoadU32(p_ + 0x20); }
    uint32_t DataOffset() const { return vell::LoadU32(p_ + 0x24); }
    uint32_t DataLen() const { return vell::LoadU32(p_ + 0x28); }
    uint32_t PageSize() const { return vell::LoadU32(p_ + 0x2C); }
    uint32_t PieceCount() const { return vell::LoadU32(p_ + 0x30); }
    uint64_t Next() const { return vell::LoadU64(p_ + 0x38); }
    uint64_t Prev() const { return vell::LoadU64(p_ + 0x40); }
    bool Has(uint32_t flag) const { return (Flags() & flag) != 0; }

protected:
    const uint8_t* p_;
};

// Reads and writes the fields of a page head in place. A page held by the pager is changed
// only through the view its ChangeHead gives, so that the change is part of the running
// write transaction.
class PageHeadView : public PageHeadReader {
public:
    explicit PageHeadView(uint8_t* page) : PageHeadReader(page), w_(page) {}

    void SetPageNo(uint64_t v) { vell::StoreU64(w_ + 0x00, v); }
    void SetFileIndex(uint32_t v) { vell::StoreU32(w_ + 0x08, v); }
    void SetPos(uint32_t v) { vell::StoreU32(w_ + 0x0C, v); }
    void SetPageType(uint32_t v) { vell::StoreU32(w_ + 0x10, v); }
    void SetReserved14(uint32_t v) { vell::StoreU32(w_ + 0x14, v); }
    void SetReserved18(uint32_t v) { vell::StoreU32(w_ + 0x18, v); }
    void SetFlags(uint32_t v) { vell::StoreU32(w_ + 0x1C, v); }
    void SetHeadSize(uint32_t v) { vell::StoreU32(w_ + 0x20, v); }
    void SetDataOffset(uint32_t v) { vell::StoreU32(w_ + 0x24, v); }
    void SetDataLen(uint32_t v) { vell::StoreU32(w_ + 0x28, v); }
    void SetPageSize(uint32_t v) { vell::StoreU32(w_ + 0x2C, v); }
    void SetPieceCount(uint32_t v) { vell::StoreU32(w_ + 0x30, v); }
    void SetReserved34(uint32_t v) { vell::StoreU32(w_ + 0x34, v); }
    void SetNext(uint64_t v) { vell::StoreU64(w_ + 0x38, v); }
    void SetPrev(uint64_t v) { vell::StoreU64(w_ + 0x40, v); }
    void Set(uint32_t flag) { SetFlags(Flags() | flag); }
    void Clear(uint32_t flag) { SetFlags(Flags() & ~flag); }

    // Writes a freshly made page head: every field as a new page has it, numbers zero.
    void InitFresh(uint32_t page_size, uint32_t flags) {
        for (uint32_t i = 0; i < kPageHeadSize; ++i) {
            w_[i] = 0;
        }
        SetReserved14(0xFFFFFFFFu);
        SetFlags(flags);
        SetHeadSize(kPageHeadSize);
        SetDataOffset(kPageHeadSize);
        SetPageSize(page_size);
    }

    uint8_t* bytes() const { return w_; }

private:
    uint8_t* w_;
};

}  // namespace brindle
