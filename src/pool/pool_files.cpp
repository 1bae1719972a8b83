// The PagePool's file heads: creating a new pool's first file, reading and writing heads.
#include <cstring>

#include "pool/page_pool.h"
#include "vell/library_errors.h"
#include "vell/output.h"

namespace brindle {
namespace {

// Returns a data buffer to its cache when the scope ends, also when an exception passes.
}  // namespace

bool PagePool::CreateNew(const std::string& path, uint32_t page_size, uint32_t page_count,
                         uint32_t max_file_size) {
    if (path.empty() || page_size == 0 || page_count == 0) {
        return false;
    }
    DataFileSet file;
    if (!file.Open(path, 1, true, DataFileSet::kPoolFileBound)) {
        vell::OutputText(vell::kFileIoInitFailedLine);
        return false;
    }
    const uint64_t total = (static_cast<uint64_t>(page_count) + 1) * page_size;
    if (total == 0 || total > options_.max_file_size || page_size < kPoolHeadSize ||
        page_size < kPageHeadSize || page_size > data_buffers_.BlockSize()) {
        vell::OutputLine("Initialize file size error -- Create new");
        file.DeleteAll();
        return false;
    }
    // A file 1 left half made would stop every later open and creation on this path.
    try {
        if (WriteNewPoolFile(file, path, page_size, page_count, max_file_size,
                             static_cast<uint32_t>(total))) {
            return true;
        }
    } catch (...) {
        file.DeleteAll();
        throw;
    }
    file.DeleteAll();
    return false;
}

bool PagePool::WriteNewPoolFile(DataFileSet& file, const std::string& path, uint32_t page_size,
                                uint32_t page_count, uint32_t max_file_size, uint32_t total) {
    if (!file.ResetSize(total, 1)) {
        return false;
    }
    HeldBlock buffer = HoldDataBuffer();
    std::memset(buffer.get(), 0, page_size);
    PageHeadView page(buffer.get());
    page.InitFresh(page_size, kPageUnused | (options_.head_flags & kHeadEncrypted));
    for (uint32_t i = 1; i <= page_count; ++i) {
        page.SetPageNo(i);
        page.SetNext(i == page_count ? 0 : i + 1);
        page.SetPrev(i - 1);
        page.SetFileIndex(1);
        page.SetPos(i * page_size);
        if (!file.Write(buffer.get(), page_size, 1, i * page_size)) {
            vell::ThrowIoError("Initialize file space error -- Create new");
        }
    }
    PoolHead head;
    head.file_no = 1;
    head.flags = options_.head_flags | kHeadCleanClose;
    head.head_area_size = page_size;
    head.page_size = page_size;
    head.page_count = page_count;
    head.file_count = 1;
    head.max_file_size = max_file_size;
    head.free_head = 1;
    head.SetFileName(path);
    std::memset(buffer.get(), 0, page_size);
    head.Encode(buffer.get());
    if (!file.Write(buffer.get(), page_size, 1, 0)) {
        vell::ThrowIoError("Initialize file header error -- Create new");
    }
    return true;
}

bool PagePool::ReadHead(const std::string& path, uint32_t read_length) {
    DataFileSet file;
    if (!file.Open(path, 1, false, DataFileSet::kPoolFileBound)) {
        return false;
    }
    uint32_t size = 0;
    if (!file.GetSize(1, size) || size < read_length || read_length < kPoolHeadSize) {
        return false;
    }
    HeldBlock buffer = HoldDataBuffer();
    if (read_length > data_buffers_.BlockSize() || !file.Read(buffer.get(), read_length, 1, 0)) {
        return false;
    }
    PoolHead head = PoolHead::Decode(buffer.get());
    if (head.head_size != kPoolHeadSize) {
        vell::OutputLine("File format error");
        return false;
    }
    if (head.version > kPoolVersion) {
        vell::ThrowFormatError("Data file version highter");
    }
    // Values that cannot describe a pool would send later arithmetic astray.
    bool sane = head.page_size >= kPoolHeadSize && head.page_size >= kPageHeadSize &&
                head.head_area_size >= 1 && head.head_area_size <= head.page_size &&
                head.file_count >= 1 && head.file_count <= DataFileSet::kMaxFiles &&
                head.max_file_size > head.page_size;
    if (!sane) {
        vell::OutputLine("File format error");
        return false;
    }
    {
        vell::ScopedLock lock(head_lock_);
        head_ = head;
    }
    page_count_.store(head.page_count, std::memory_order_release);
    return true;
}

bool PagePool::WriteHead(const PoolHead& head, uint32_t page_size, int file) {
    if (file < 1) {
        return false;
    }
    if (head.head_area_size < 1 || head.head_area_size > page_size ||
        head.head_area_size > data_buffers_.BlockSize()) {
        vell::ThrowFileHeadError("File head format error");
    }
    HeldBlock buffer = HoldDataBuffer();
    std::memset(buffer.get(), 0, head.head_area_size);
    if (head.head_area_size >= kPoolHeadSize) {
        head.Encode(buffer.get());
    } else {
        uint8_t encoded[kPoolHeadSize];
        head.Encode(encoded);
        std::memcpy(buffer.get(), encoded, head.head_area_size);
    }
    return files_.Write(buffer.get(), head.head_area_size, file, 0);
}

}  // namespace brindle
