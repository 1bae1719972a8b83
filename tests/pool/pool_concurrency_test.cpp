#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <random>
#include <set>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "md_exception.h"
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

// Readers pin and read pages on several threads while one thread commits transactions and the
// pager's thread checkpoints often (a small journal bound) and the cache is too small to keep
// the pages: pages leave memory and are read back from the data files while checkpoints write
// them. Each page's lock stands for the key locks above the pool (readers never see a change
// in flight); under it a reader must find exactly the version last committed to the page,
// never an older one read back from a data file a checkpoint had not yet brought up to date.
TEST(PoolConcurrency, ReadersSeeCommittedPagesWhileCommitsAndCheckpointsRun) {
    testsupport::TempDir dir;
    vell::OutputCapture quiet;
    auto pool = std::make_unique<Pager>();
    PoolOptions& o = pool->Options();
    testing_pool::SetDatabaseOptions(o);
    o.max_cached_pages = 8;
    o.add_page_count = 64;
    o.checkpoint_bytes = 16 * 1024;
    testing_pool::CheckEvery(o, 1);
    ASSERT_TRUE(pool->Open(dir.File("db")));

    constexpr int kPages = 48;
    constexpr int kStamps = 16;  // the version, repeated: a page read half-old shows
    auto stamp = [&](Page* page, uint64_t version) {
        uint64_t words[kStamps];
        std::fill(std::begin(words), std::end(words), version);
        std::memcpy(page->ChangeData() + kPageHeadSize, words, sizeof(words));
    };
    std::vector<uint64_t> numbers;
    {
        WriteTransaction transaction(pool.get());
        for (int i = 0; i < kPages; ++i) {
            PageHandle handle(pool.get(), 0, true);
            uint64_t words[kStamps] = {};
            handle->AddData(words, sizeof(words));
            numbers.push_back(handle->Number());
        }
        transaction.Commit();
    }
    std::vector<std::shared_mutex> locks(kPages);
    std::vector<uint64_t> committed(kPages, 0);  // guarded by the page's lock

    std::atomic<bool> done{false};
    std::atomic<int> mismatches{0};
    std::atomic<uint64_t> reads{0};
    auto check = [&](const Page* page, int index) {
        uint64_t words[kStamps];
        std::memcpy(words, page->Data() + kPageHeadSize, sizeof(words));
        for (uint64_t word : words) {
            if (word != committed[index]) {
                ++mismatches;
                return;
            }
        }
    };
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            std::mt19937 random(77 + t);
            while (!done.load()) {
                const int index = static_cast<int>(random() % kPages);
                std::shared_lock lock(locks[index]);
                if (random() % 2 == 0 &&
                    pool->ReadResident(numbers[index], [&](Page* page) { check(page, index); })) {
                    ++reads;
                    continue;
                }
                try {
                    PageHandle handle(pool.get(), numbers[index]);
                    check(handle.Get(), index);
                    ++reads;
                } catch (const MDException&) {  // the page could not be read back at all
                    ++mismatches;
                }
            }
        });
    }
    std::mt19937 random(4321);
    int checkpoints_seen = 0;
    uint64_t journal = pool->JournalSize();
    try {
        for (uint64_t version = 1; version <= 400; ++version) {
            std::set<int> chosen;
            for (int k = 1 + static_cast<int>(random() % 4); k > 0; --k) {
                chosen.insert(static_cast<int>(random() % kPages));
            }
            std::vector<std::unique_lock<std::shared_mutex>> held;
            for (int index : chosen) {  // in index order, as key locks are taken
                held.emplace_back(locks[index]);
            }
            WriteTransaction transaction(pool.get());
            for (int index : chosen) {
                PageHandle handle(pool.get(), numbers[index]);
                stamp(handle.Get(), version);
            }
            transaction.Commit();
            for (int index : chosen) {
                committed[index] = version;
            }
            const uint64_t now = pool->JournalSize();
            checkpoints_seen += now < journal ? 1 : 0;
            journal = now;
        }
    } catch (const MDException&) {  // a page to change could not be read back
        ++mismatches;
    }
    done = true;
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_GT(checkpoints_seen, 0);
    EXPECT_GT(reads.load(), 0u);
    pool.reset();  // and again from the files alone
    auto reopened = testing_pool::OpenPool(dir.File("db"));
    ASSERT_NE(reopened, nullptr);
    for (int index = 0; index < kPages; ++index) {
        PageHandle handle(reopened.get(), numbers[index]);
        check(handle.Get(), index);
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace brindle
