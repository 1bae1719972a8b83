// The PageCache alone, over a loader that makes each page's bytes from its number: pins, the
// bound on cached pages, discards, pages that exist only in memory, the re-read when a copy
// came and went during a load, and the idle walk.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <stop_token>
#include <vector>

#include "pool/page_cache.h"
#include "vell/date_time.h"
#include "vell/output.h"

namespace brindle {
namespace {

constexpr uint32_t kPageSize = 128;

class PageCacheTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Init(4)); }

    bool Init(uint64_t max_cached) {
        PageCache::Settings settings;
        settings.page_size = kPageSize;
        settings.data_buffer_initial = 4;
        settings.page_buffer_initial = 4;
        settings.max_cached_pages = max_cached;
        return cache_.Init(settings, nullptr);
    }

    // Pins through the fake loader: page n reads as bytes of value n, from file 1 at n * 128.
    Page* Pin(uint64_t number) {
        return cache_.Pin(number,
                          [this](uint64_t n, uint8_t* buffer, int& file, uint32_t& position) {
                              ++loads_[n];
                              if (during_load_) {
                                  std::exchange(during_load_, nullptr)(n);
                              }
                              if (n == refused_) {
                                  return false;
                              }
                              std::memset(buffer, static_cast<int>(n), kPageSize);
                              file = 1;
                              position = static_cast<uint32_t>(n * kPageSize);
                              return true;
                          });
    }
    bool Resident(uint64_t number) {
        return cache_.ReadResident(number, [](Page*) {});
    }

    PageCache cache_;
    std::map<uint64_t, int> loads_;
    uint64_t refused_ = 0;
    std::function<void(uint64_t)> during_load_;  // runs once, inside the next load
};

TEST_F(PageCacheTest, PinsShareOneCopyAndTheCacheKeepsNoMoreThanItsLimit) {
    vell::OutputCapture capture;
    Page* first = Pin(3);
    Page* second = Pin(3);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(loads_[3], 1);
    EXPECT_EQ(first->RefCount(), 2);
    EXPECT_EQ(first->Data()[kPageSize - 1], 3);
    EXPECT_EQ(first->File(), 1);
    EXPECT_EQ(first->Position(), 3 * kPageSize);
    EXPECT_EQ(cache_.PinnedCount(), 1u);
    cache_.Unpin(first);
    cache_.Unpin(second);
    EXPECT_EQ(cache_.PinnedCount(), 0u);
    EXPECT_EQ(cache_.CachedCount(), 1u);
    cache_.Unpin(second);  // one unpin too many is reported, and harms nothing
    EXPECT_TRUE(capture.Contains("Page ref error"));
    EXPECT_EQ(Pin(3), first);  // from the cache
    EXPECT_EQ(loads_[3], 1);
    cache_.Unpin(first);

    // Unpinned pages beyond the bound of 4 leave memory; the cached ones stay readable.
    for (uint64_t n = 1; n <= 8; ++n) {
        cache_.Unpin(Pin(n));
    }
    EXPECT_EQ(cache_.CachedCount(), 4u);
    int resident = 0;
    for (uint64_t n = 1; n <= 8; ++n) {
        resident += Resident(n) ? 1 : 0;
    }
    EXPECT_EQ(resident, 4);
    EXPECT_FALSE(Resident(8));
    // A pinned page is resident however full the cache; at its unpin it leaves again.
    Page* pinned = Pin(8);
    uint8_t seen = 0;
    EXPECT_TRUE(cache_.ReadResident(8, [&](Page* page) { seen = page->Data()[0]; }));
    EXPECT_EQ(seen, 8);
    cache_.Unpin(pinned);
    EXPECT_FALSE(Resident(8));
    EXPECT_EQ(cache_.CachedCount(), 4u);

    refused_ = 20;
    EXPECT_EQ(Pin(20), nullptr);
    EXPECT_FALSE(Resident(20));
    EXPECT_EQ(cache_.PinnedCount(), 0u);
}

TEST_F(PageCacheTest, ADiscardedPageLeavesMemoryAtItsLastUnpin) {
    Page* page = Pin(5);
    cache_.Unpin(page);
    page = Pin(5);  // cached now
    page->SetDiscard();
    cache_.AddPin(page);
    cache_.Unpin(page);
    EXPECT_TRUE(Resident(5));
    vell::OutputCapture capture;
    cache_.Unpin(page);
    EXPECT_TRUE(capture.Contains("--ReLoad FreeRawPage--ref:0"));
    EXPECT_FALSE(Resident(5));
    EXPECT_EQ(cache_.CachedCount(), 0u);
    cache_.Unpin(Pin(5));
    EXPECT_EQ(loads_[5], 2);
}

TEST_F(PageCacheTest, AFreshPageLivesOnlyInMemoryUntilItIsForgotten) {
    std::vector<uint8_t> bytes(kPageSize, 0xAB);
    Page* fresh = cache_.AddFresh(7, 2, 512, bytes.data());
    EXPECT_EQ(fresh->RefCount(), 1);
    EXPECT_EQ(fresh->File(), 2);
    EXPECT_EQ(Pin(7), fresh);
    EXPECT_EQ(loads_[7], 0);
    EXPECT_EQ(fresh->Data()[0], 0xAB);
    // Forgotten whatever its pins: the next pin reads the page from the loader.
    cache_.Forget(fresh);
    EXPECT_EQ(cache_.PinnedCount(), 0u);
    EXPECT_FALSE(Resident(7));
    Page* loaded = Pin(7);
    EXPECT_EQ(loads_[7], 1);
    EXPECT_EQ(loaded->Data()[0], 7);
    cache_.Unpin(loaded);

    // A fresh page replaces a stale cached copy of its number.
    Page* replacing = cache_.AddFresh(7, 1, 896, bytes.data());
    uint8_t seen = 0;
    EXPECT_TRUE(cache_.ReadResident(7, [&](Page* page) { seen = page->Data()[0]; }));
    EXPECT_EQ(seen, 0xAB);
    EXPECT_EQ(cache_.CachedCount(), 0u);
    cache_.Unpin(replacing);
}

// A load runs with no lock held. When a copy of the page came and went meanwhile, what was
// read may be older than what that copy held: the read is thrown away and done again. When a
// copy came and stayed, that copy is the page.
TEST_F(PageCacheTest, ALoadOvertakenByAnotherCopyOfThePageIsNotEntered) {
    std::vector<uint8_t> newer(kPageSize, 0xEE);
    during_load_ = [&](uint64_t n) { cache_.Forget(cache_.AddFresh(n, 1, 0, newer.data())); };
    Page* page = Pin(9);
    EXPECT_EQ(loads_[9], 2);
    EXPECT_EQ(page->Data()[0], 9);
    cache_.Unpin(page);

    during_load_ = [&](uint64_t n) { cache_.Unpin(cache_.AddFresh(n, 1, 0, newer.data())); };
    page = Pin(10);
    EXPECT_EQ(loads_[10], 1);
    EXPECT_EQ(page->Data()[0], 0xEE);
    EXPECT_EQ(page->RefCount(), 1);
    cache_.Unpin(page);
}

TEST_F(PageCacheTest, TheIdleWalkDropsOldUnpinnedPagesUpToItsLimit) {
    for (uint64_t n = 1; n <= 4; ++n) {
        cache_.Unpin(Pin(n));
    }
    Page* pinned = Pin(1);
    std::stop_source stop;
    const int64_t now = vell::DateTime::Now().Count();
    uint64_t dropped = 0;
    EXPECT_TRUE(cache_.DropIdle(stop.get_token(), now, 60, 0, dropped));
    EXPECT_EQ(dropped, 0u);  // none idle for a minute yet
    EXPECT_TRUE(cache_.DropIdle(stop.get_token(), now + 120, 60, 2, dropped));
    EXPECT_EQ(dropped, 2u);
    EXPECT_EQ(cache_.CachedCount(), 2u);
    EXPECT_TRUE(cache_.DropIdle(stop.get_token(), now + 120, 60, 0, dropped));
    EXPECT_EQ(dropped, 4u);
    EXPECT_EQ(cache_.CachedCount(), 0u);
    // The pinned page left the cache but not memory; its unpin takes it in again.
    EXPECT_TRUE(Resident(1));
    EXPECT_FALSE(Resident(2));
    cache_.Unpin(pinned);
    EXPECT_EQ(cache_.CachedCount(), 1u);
    EXPECT_EQ(loads_[1], 1);
}

}  // namespace
}  // namespace brindle
