// Page pool throughput: the cached pin/unpin every key operation pays, the allocate/free
// cycle of short-lived pages, and how fast a pool grows to 100,000 pages.
//
// Pools live in a scratch directory under $BRINDLE_BENCH_TMP (the system temp dir when
// unset), so the disk figures depend on the file system behind it; note it with the results.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "pool/pager.h"
#include "pool/pool_head.h"
#include "pool/write_transaction.h"
#include "vell/output.h"

namespace {

constexpr uint32_t kMaxFileSize = 2097152000u;
constexpr uint64_t kGrowthTarget = 100000;

// A fresh directory for one benchmark run, removed with its pools when the object ends.
class ScratchDir {
public:
    ScratchDir() {
        const char* root = std::getenv("BRINDLE_BENCH_TMP");
        std::filesystem::path base =
            root != nullptr ? std::filesystem::path(root) : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(base);
        std::string pattern = (base / "brindle-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// A pool set up as the database sets it up: 1 KiB enciphered pages, large files.
std::unique_ptr<brindle::Pager> OpenPool(const std::string& path) {
    auto pool = std::make_unique<brindle::Pager>();
    brindle::PoolOptions& options = pool->Options();
    options.max_file_size = kMaxFileSize;
    options.head_flags = brindle::kHeadEncrypted;
    options.max_cached_pages = 200000;
    if (!pool->Open(path)) {
        return nullptr;
    }
    return pool;
}

// Takes a new page and puts one byte in it, so that it stays in use after its release.
bool FillNewPage(brindle::Pager& pool) {
    brindle::WriteTransaction transaction(&pool);
    brindle::Page* page = pool.NewPage();
    if (page == nullptr) {
        return false;
    }
    uint8_t byte = 1;
    page->AddData(&byte, 1);
    pool.ReleasePage(page);
    transaction.Commit();
    return true;
}

// GetPage + ReleasePage of a page already cached and clean: no file access, only the
// pool's maps and locks.
void BM_CachedGetRelease(benchmark::State& state) {
    vell::OutputCapture quiet;  // the pool's diagnostics of creating and closing
    ScratchDir dir;
    auto pool = OpenPool(dir.File("db"));
    if (pool == nullptr || !FillNewPage(*pool)) {
        state.SkipWithError("pool could not be opened");
        return;
    }
    const uint64_t number = 10;  // the first page handed out by a new pool
    brindle::Page* warm = pool->GetPage(number);
    if (warm == nullptr) {
        state.SkipWithError("page 10 cannot be read");
        return;
    }
    pool->ReleasePage(warm);
    for (auto _ : state) {
        brindle::Page* page = pool->GetPage(number);
        benchmark::DoNotOptimize(page);
        pool->ReleasePage(page);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CachedGetRelease);

// NewPage + FreePage of the same page in one write transaction: the free-list tail is popped
// and pushed again; the commit finds nothing changed.
void BM_NewFreeCycle(benchmark::State& state) {
    vell::OutputCapture quiet;
    ScratchDir dir;
    auto pool = OpenPool(dir.File("db"));
    if (pool == nullptr) {
        state.SkipWithError("pool could not be opened");
        return;
    }
    for (auto _ : state) {
        brindle::WriteTransaction transaction(pool.get());
        brindle::Page* page = pool->NewPage();
        if (page == nullptr) {
            state.SkipWithError("NewPage failed");
            break;
        }
        pool->FreePage(page);
        transaction.Commit();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewFreeCycle)->UseRealTime();

// A new pool grown to 100,000 pages by taking and filling one page after another, as the
// tree store does; the free list is refilled a batch of add_page_count pages at a time.
void BM_GrowByNewPage(benchmark::State& state) {
    vell::OutputCapture quiet;
    for (auto _ : state) {
        state.PauseTiming();
        auto dir = std::make_unique<ScratchDir>();
        auto pool = OpenPool(dir->File("db"));
        if (pool == nullptr) {
            state.SkipWithError("pool could not be opened");
            break;
        }
        state.ResumeTiming();
        for (uint64_t i = 0; i < kGrowthTarget; ++i) {
            if (!FillNewPage(*pool)) {
                state.SkipWithError("NewPage failed");
                break;
            }
        }
        state.PauseTiming();
        pool.reset();
        dir.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kGrowthTarget));
}
BENCHMARK(BM_GrowByNewPage)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Growth alone: a new pool extended to 100,000 pages by AddNewPages batches of the
// default size, every new page written as a linked free page. Items are pages added.
void BM_GrowByAddNewPages(benchmark::State& state) {
    vell::OutputCapture quiet;
    const uint64_t batch = static_cast<uint64_t>(state.range(0));
    int64_t added = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto dir = std::make_unique<ScratchDir>();
        auto pool = OpenPool(dir->File("db"));
        if (pool == nullptr) {
            state.SkipWithError("pool could not be opened");
            break;
        }
        state.ResumeTiming();
        const uint64_t start = pool->PageCount();
        while (pool->PageCount() < kGrowthTarget) {
            brindle::WriteTransaction transaction(pool.get());
            if (pool->AddNewPages(batch) == 0) {
                state.SkipWithError("AddNewPages failed");
                break;
            }
            transaction.Commit();
        }
        added += static_cast<int64_t>(pool->PageCount() - start);
        state.PauseTiming();
        pool.reset();
        dir.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(added);
}
BENCHMARK(BM_GrowByAddNewPages)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace
