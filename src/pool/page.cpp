#include "pool/page.h"

#include <cstring>

#include "vell/library_errors.h"

namespace brindle {

uint32_t Page::FreeRoom() const {
    PageHeadReader head(data_);
    uint64_t used = static_cast<uint64_t>(head.DataOffset()) + head.DataLen();
    uint64_t size = head.PageSize() < buffer_size_ ? head.PageSize() : buffer_size_;
    return used >= size ? 0 : static_cast<uint32_t>(size - used);
}

void Page::RestoreBytes(const uint8_t* bytes) {
    std::memcpy(data_, bytes, buffer_size_);
}

uint32_t Page::AddData(const void* bytes, uint32_t n) {
    if (data_ == nullptr) {
        vell::ThrowFormatError("Data is NULL -- Page add data");
    }
    if (n > FreeRoom()) {
        return 0;
    }
    PageHeadView head = ChangeHead();
    std::memcpy(data_ + head.DataOffset() + head.DataLen(), bytes, n);
    head.SetDataLen(head.DataLen() + n);
    head.Clear(kPageUnused);
    return n;
}

uint32_t Page::AddString(const char* text) {
    uint32_t length = static_cast<uint32_t>(std::strlen(text));
    if (length > 0 && AddData(text, length) == 0) {
        return 0;
    }
    const char nul = '\0';
    if (AddData(&nul, 1) == 0) {
        return 0;
    }
    return length + 1;
}

}  // namespace brindle
