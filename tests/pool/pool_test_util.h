#pragma once

#include <memory>
#include <string>
#include <vector>

#include "files/data_file_set.h"
#include "pool/page_handle.h"
#include "pool/pager.h"
#include "pool/write_transaction.h"
#include "support/temp_dir.h"
#include "support/whole_file.h"

namespace brindle::testing_pool {

// Options as the database object sets them, with small caches so tests start fast.
inline void SetDatabaseOptions(PoolOptions& o, uint32_t max_file_size = 2097152000u) {
    o.max_file_size = max_file_size;
    o.head_flags = kHeadEncrypted;
    o.data_buffer_initial = 16;
    o.page_buffer_initial = 16;
    o.max_cached_pages = 200000;
    o.max_check_pages = 20000;
}

// The check thread wakes every `ms` milliseconds and drops pages idle for a second.
inline void CheckEvery(PoolOptions& o, uint32_t ms) {
    o.check_first_delay_ms = o.check_step_ms = ms;
    o.check_period = 0;
    o.check_min_period_ms = 3 * ms;
    o.check_retry_pause_ms = 1;
    o.page_timeout = 0;  // behaves as 1 second
}

inline std::unique_ptr<Pager> OpenPool(const std::string& path,
                                       uint32_t max_file_size = 2097152000u) {
    auto pool = std::make_unique<Pager>();
    SetDatabaseOptions(pool->Options(), max_file_size);
    if (!pool->Open(path)) {
        return nullptr;
    }
    return pool;
}

// Takes a new page and puts the text in it, as one committed change; its number.
inline uint64_t AddPage(Pager& pool, const char* text) {
    WriteTransaction transaction(&pool);
    PageHandle handle(&pool, 0, true);
    handle->AddString(text);
    const uint64_t number = handle->Number();
    handle.Release();
    transaction.Commit();
    return number;
}

// Raw bytes of one data file.
inline std::vector<uint8_t> ReadFileBytes(const std::string& name) {
    const std::string bytes = testsupport::ReadWholeFile(name);
    return {bytes.begin(), bytes.end()};
}

inline void WriteFileBytes(const std::string& name, const std::vector<uint8_t>& bytes) {
    testsupport::WriteWholeFile(name, std::string(bytes.begin(), bytes.end()));
}

}  // namespace brindle::testing_pool
