// Record data that runs across pages: writing it, reading it and giving its space back.
#include <cstring>

#include "tree/pinned_page.h"
#include "tree/tree_store.h"
#include "vell/library_errors.h"

namespace brindle {
namespace {

// Bytes of data that fit in the page from the given data offset on; negative when the
// offset lies beyond the data area.
int64_t InPage(TreePage& page, uint32_t offset) {
    return static_cast<int64_t>(page.AreaSize()) - offset;
}

void AddPiece(PinnedPage& page) {
    page.ChangeHead().SetPieceCount(page.Head().PieceCount() + 1);
    page.MarkChanged();
}

// Takes one piece off a page; a continuation page left without pieces is freed when its
// holder is released.
void RemovePiece(PinnedPage& page, uint64_t& last_freed) {
    int32_t pieces = static_cast<int32_t>(page.Head().PieceCount()) - 1;
    page.ChangeHead().SetPieceCount(static_cast<uint32_t>(pieces));
    page.MarkChanged();
    if (page.Head().PageType() == kPageTypeContinuation && pieces == 0) {
        page.handle().SetFree(true);
        last_freed = page.Number();
    }
}

}  // namespace

bool TreeStore::AddPageData(PinnedPage& page, const uint8_t* data, uint32_t length,
                            uint64_t& last_page) {
    if (!TreeOpen()) {
        return false;
    }
    uint32_t room = page->Room();
    if (room >= length) {
        if (page.page()->AddData(data, length) != length) {
            return false;
        }
        AddPiece(page);
        last_page = page.Number();
        return true;
    }
    if (page.page()->AddData(data, room) != room) {
        return false;
    }
    AddPiece(page);
    page.ChangeHead().Set(kPageMoreData);
    const uint8_t* rest = data + room;
    uint32_t left = length - room;

    const char* where = "Add data failed -- AddPageData";
    std::unique_ptr<PinnedPage> previous;  // the last continuation page filled so far
    PinnedPage* before = &page;
    while (true) {
        auto next = std::make_unique<PinnedPage>(pool_, PinnedPage::NewTag{}, where);
        next->ChangeHead().Set(kPageContinuedData);
        next->ChangeHead().SetPageType(kPageTypeContinuation);
        next->ChangeHead().SetPrev(before->Number());
        before->ChangeHead().SetNext(next->Number());
        before->MarkChanged();
        next->MarkChanged();
        uint32_t next_room = (*next)->Room();
        if (next_room < left) {
            next->page()->AddData(rest, next_room);
            AddPiece(*next);
            next->ChangeHead().Set(kPageMoreData);
            rest += next_room;
            left -= next_room;
            previous = std::move(next);  // the page before is written as it is released
            before = previous.get();
            continue;
        }
        if (next->page()->AddData(rest, left) != left) {
            next->handle().SetFree(true);
            return false;
        }
        AddPiece(*next);
        last_page = next->Number();
        return true;
    }
}

bool TreeStore::CopyDataFromPageEx(PinnedPage& page, uint8_t* destination, uint32_t offset,
                                   uint32_t length) {
    int64_t in_page = InPage(page.view(), offset);
    if (in_page >= static_cast<int64_t>(length)) {
        std::memcpy(destination, page->Area() + offset, length);
        return true;
    }
    if (in_page < 0) {
        vell::ThrowFormatError("Data len exception");
    }
    std::memcpy(destination, page->Area() + offset, static_cast<size_t>(in_page));
    if (!page.Head().Has(kPageMoreData)) {
        vell::ThrowFormatError("Data format error -- CopyDataFromPageEx");
    }
    uint32_t copied = static_cast<uint32_t>(in_page);
    uint64_t next = page.Head().Next();
    while (true) {
        PinnedPage current(pool_, next, "Data format error2 -- CopyDataFromPageEx");
        if (!current.Head().Has(kPageContinuedData)) {
            vell::ThrowFormatError("Data format error2 -- CopyDataFromPageEx");
        }
        uint32_t here = current->AreaSize();
        uint32_t rest = length - copied;
        if (rest <= here) {
            std::memcpy(destination + copied, current->Area(), rest);
            return true;
        }
        std::memcpy(destination + copied, current->Area(), here);
        copied += here;
        if (!current.Head().Has(kPageMoreData)) {
            vell::ThrowFormatError("Data format error -- CopyDataFromPageEx");
        }
        next = current.Head().Next();
    }
}

bool TreeStore::GetPropertyKeyFromPage(PinnedPage& page, uint32_t offset, uint32_t length,
                                       std::string& name) {
    if (length < 4) {
        return false;
    }
    int64_t in_page = InPage(page.view(), offset);
    if (in_page >= static_cast<int64_t>(length)) {
        const char* text = reinterpret_cast<const char*>(page->Area() + offset + 4);
        name.assign(text, strnlen(text, length - 4));
        return name.size() <= length;
    }
    uint8_t buffer[260];
    uint32_t wanted = length < sizeof(buffer) ? length : sizeof(buffer);
    bool copied = CopyDataFromPageEx(page, buffer, offset, wanted);
    const char* text = reinterpret_cast<const char*>(buffer + 4);
    name.assign(text, strnlen(text, wanted - 4));
    return copied;
}

bool TreeStore::ClearDataSpaceEx(PinnedPage& page, uint32_t offset, uint32_t length,
                                 uint64_t& last_freed,
                                 std::vector<std::unique_ptr<PinnedPage>>& touched) {
    last_freed = 0;
    int64_t in_page = InPage(page.view(), offset);
    RemovePiece(page, last_freed);
    if (in_page >= static_cast<int64_t>(length)) {
        return true;
    }
    const char* format_error = "File format error -- ClearDataSpaceEx";
    if (in_page < 0 || !page.Head().Has(kPageMoreData)) {
        vell::ThrowFormatError(format_error);
    }
    page.ChangeHead().Clear(kPageMoreData);
    page.ChangeHead().SetDataLen(page.Head().DataLen() - static_cast<uint32_t>(in_page));
    uint32_t rest = length - static_cast<uint32_t>(in_page);
    uint64_t next = page.Head().Next();
    while (true) {
        auto current =
            std::make_unique<PinnedPage>(pool_, next, "File format error2 -- ClearDataSpaceE");
        if (current->Head().PageType() != kPageTypeContinuation) {
            vell::ThrowFormatError("File format error2 -- ClearDataSpaceE");
        }
        if (!current->Head().Has(kPageContinuedData)) {
            vell::ThrowFormatError("File format error3 -- ClearDataSpaceEx");
        }
        uint32_t here = (*current)->AreaSize();
        RemovePiece(*current, last_freed);
        if (rest <= here) {
            touched.push_back(std::move(current));
            return true;
        }
        if (!current->Head().Has(kPageMoreData)) {
            vell::ThrowFormatError(format_error);
        }
        current->ChangeHead().Clear(kPageMoreData);
        uint32_t data_len = current->Head().DataLen();
        current->ChangeHead().SetDataLen(data_len >= here ? data_len - here : 0);
        rest -= here;
        next = current->Head().Next();
        touched.push_back(std::move(current));
    }
}

}  // namespace brindle
