#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "pool/page_handle.h"
#include "pool/pager.h"
#include "pool/write_transaction.h"
#include "pool_test_util.h"
#include "vell/output.h"

namespace brindle {
namespace {

// Four threads pin, fill, re-read (pinned and unpinned) and free pages at once while the check
// thread drops idle pages from a deliberately small cache. Each thread stamps its pages with its
// own id and a serial, and checks the stamp whenever it reads a page back; at the end every page is
// either in use with a correct stamp or on a sound free list.
TEST(PoolConcurrency, PinReleaseNewAndFreeFromSeveralThreads) {
    testsupport::TempDir dir;
    std::string path = dir.File("db");
    vell::OutputCapture quiet;
    auto pool = std::make_unique<Pager>();
    PoolOptions& o = pool->Options();
    testing_pool::SetDatabaseOptions(o);
    o.max_cached_pages = 16;
    o.add_page_count = 64;
    testing_pool::CheckEvery(o, 1);
    ASSERT_TRUE(pool->Open(path));

    constexpr int kThreads = 4;
    std::vector<std::vector<std::pair<uint64_t, uint32_t>>> kept(kThreads);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(1234 + t);
            auto& mine = kept[t];
            for (uint32_t serial = 0; serial < 1500; ++serial) {
                int action = static_cast<int>(random() % 4);
                if (action <= 1 || mine.empty()) {
                    WriteTransaction transaction(pool.get());
                    PageHandle handle(pool.get(), 0, true);
                    uint32_t stamp[2] = {static_cast<uint32_t>(t), serial};
                    handle->AddData(stamp, sizeof(stamp));
                    mine.emplace_back(handle->Number(), serial);
                    handle.Release();
                    transaction.Commit();
                } else {
                    size_t pick = random() % mine.size();
                    auto check = [&](const Page* page) {
                        uint32_t stamp[2];
                        std::memcpy(stamp, page->Data() + kPageHeadSize, sizeof(stamp));
                        if (stamp[0] != static_cast<uint32_t>(t) || stamp[1] != mine[pick].second) {
                            ++mismatches;
                        }
                    };
                    pool->ReadResident(mine[pick].first, check);
                    if (action != 3) {
                        PageHandle handle(pool.get(), mine[pick].first);
                        check(handle.Get());
                        continue;
                    }
                    WriteTransaction transaction(pool.get());
                    PageHandle handle(pool.get(), mine[pick].first);
                    check(handle.Get());
                    handle.SetFree(true);
                    handle.Release();
                    transaction.Commit();
                    mine.erase(mine.begin() + static_cast<long>(pick));
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, 0);

    std::set<uint64_t> in_use;
    for (auto& mine : kept) {
        for (auto& entry : mine) {
            EXPECT_TRUE(in_use.insert(entry.first).second) << "page handed out twice";
        }
    }
    uint64_t free_count = 0;
    uint64_t previous = 0;
    for (uint64_t n = pool->FreeHead(); n != 0; ++free_count) {
        ASSERT_LE(free_count, pool->PageCount());
        PageHandle handle(pool.get(), n);
        EXPECT_TRUE(handle->Head().Has(kPageUnused));
        EXPECT_EQ(handle->Head().Prev(), previous);
        EXPECT_EQ(in_use.count(n), 0u) << "page " << n << " is both used and free";
        previous = n;
        n = handle->Head().Next();
    }
    EXPECT_EQ(previous, pool->FreeTail());
    EXPECT_EQ(free_count + in_use.size(), pool->PageCount());
}

}  // namespace
}  // namespace brindle
