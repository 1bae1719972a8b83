// The PageAllocator alone, on a real set of data files and a page source that keeps pages in
// a PageCache over an in-memory image of them: the free list as a stack at its tail, growth
// by a batch and across a file boundary, Snapshot/Restore, the walk that finds the tail, and
// a bad tail.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "files/data_file_set.h"
#include "pool/page_allocator.h"
#include "pool/page_cache.h"
#include "support/temp_dir.h"
#include "vell/output.h"

namespace brindle {
namespace {

constexpr uint32_t kPageSize = 256;
constexpr uint32_t kMaxFileSize = 8 * kPageSize;  // a head area and seven pages a file

// Pages as the pager would hand them over, without transactions: read from `stored` (the
// pages as committed), kept in a cache; what the allocator adds or changes is recorded.
class FakePageSource : public PageAllocator::PageSource {
public:
    FakePageSource() {
        PageCache::Settings settings;
        settings.page_size = kPageSize;
        settings.data_buffer_initial = 8;
        settings.page_buffer_initial = 8;
        cache_.Init(settings, nullptr);
    }
    ~FakePageSource() override {
        for (auto& [number, page] : fresh) {
            cache_.Unpin(page);
        }
    }

    Page* Pin(uint64_t number) override {
        return cache_.Pin(number,
                          [this](uint64_t n, uint8_t* buffer, int& file, uint32_t& position) {
                              auto found = stored.find(n);
                              if (found == stored.end()) {
                                  return false;
                              }
                              std::memcpy(buffer, found->second.data(), kPageSize);
                              file = 1;
                              position = static_cast<uint32_t>(n * kPageSize);
                              return true;
                          });
    }
    Page* PinForChange(uint64_t number) override {
        changed.insert(number);
        return Pin(number);
    }
    void Unpin(Page* page) override { cache_.Unpin(page); }
    void AddFresh(uint64_t number, int file, uint32_t position, const uint8_t* bytes) override {
        fresh[number] = cache_.AddFresh(number, file, position, bytes);
    }
    void SetFileHead(int file, const PoolHead& head) override { file_heads[file] = head; }
    // Takes the fresh pages out of memory, as a rollback of their growth does.
    void ForgetFresh() {
        for (auto& [number, page] : fresh) {
            cache_.Forget(page);
        }
        fresh.clear();
    }

    // A free page's bytes, linked to prev and next.
    static std::vector<uint8_t> FreePage(uint64_t number, uint64_t prev, uint64_t next) {
        std::vector<uint8_t> bytes(kPageSize, 0);
        PageHeadView head(bytes.data());
        head.InitFresh(kPageSize, kPageUnused);
        head.SetPageNo(number);
        head.SetPrev(prev);
        head.SetNext(next);
        return bytes;
    }
    PageHeadReader Head(uint64_t number) {
        Page* page = Pin(number);
        EXPECT_NE(page, nullptr) << number;
        PageHeadReader head = page->Head();  // stays valid: the page stays cached
        Unpin(page);
        return head;
    }

    std::map<uint64_t, std::vector<uint8_t>> stored;
    std::set<uint64_t> changed;
    std::map<uint64_t, Page*> fresh;  // each held pinned, as a transaction holds it
    std::map<int, PoolHead> file_heads;

private:
    PageCache cache_;
};

// A pool of three pages in file 1, all on the free list 1 <-> 2 <-> 3.
class PageAllocatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = dir_.File("db");
        ASSERT_TRUE(files_.Open(base_, 1, true, DataFileSet::kPoolFileBound));
        ASSERT_TRUE(files_.ResetSize(4 * kPageSize, 1));
        PoolHead head;
        head.file_no = 1;
        head.head_area_size = kPageSize;
        head.page_size = kPageSize;
        head.page_count = 3;
        head.file_count = 1;
        head.max_file_size = kMaxFileSize;
        head.free_head = 1;
        head_.Set(head);
        for (uint64_t n = 1; n <= 3; ++n) {
            pages_.stored[n] = FakePageSource::FreePage(n, n - 1, n == 3 ? 0 : n + 1);
        }
        options_.add_page_count = 4;
        ASSERT_EQ(allocator_.FindFreeTail(), PageAllocator::ListState::kSound);
    }

    // Takes a page and gives up its pin; its number (0: none).
    uint64_t Take() {
        Page* page = allocator_.Take();
        if (page == nullptr) {
            return 0;
        }
        EXPECT_EQ(page->Head().Prev(), 0u);
        EXPECT_EQ(page->Head().Next(), 0u);
        const uint64_t number = page->Number();
        pages_.Unpin(page);
        return number;
    }
    void Free(uint64_t number) { allocator_.Free(pages_.Pin(number)); }

    testsupport::TempDir dir_;
    std::string base_;
    DataFileSet files_;
    MainHead head_;
    FakePageSource pages_;
    PoolOptions options_;
    PageAllocator allocator_{head_, files_, pages_, options_};
};

TEST_F(PageAllocatorTest, TakesFromTheTailAndFreesOntoIt) {
    EXPECT_EQ(allocator_.FreeTail(), 3u);
    EXPECT_EQ(Take(), 3u);
    EXPECT_EQ(pages_.Head(2).Next(), 0u);
    EXPECT_EQ(Take(), 2u);
    EXPECT_EQ(Take(), 1u);
    EXPECT_EQ(head_.Get().free_head, 0u);
    EXPECT_EQ(allocator_.FreeTail(), 0u);
    EXPECT_EQ(pages_.changed, (std::set<uint64_t>{1, 2, 3}));

    Free(2);
    EXPECT_EQ(head_.Get().free_head, 2u);
    Free(3);
    EXPECT_EQ(allocator_.FreeTail(), 3u);
    EXPECT_EQ(pages_.Head(2).Next(), 3u);
    EXPECT_EQ(pages_.Head(3).Prev(), 2u);
    EXPECT_TRUE(pages_.Head(3).Has(kPageUnused));
    Free(2);  // already on the list: only unpinned
    EXPECT_EQ(allocator_.FreeTail(), 3u);
    EXPECT_EQ(pages_.Head(2).Prev(), 0u);
    EXPECT_EQ(Take(), 3u);
    EXPECT_EQ(head_.Get().page_count, 3u);  // no growth while the list held pages
}

// File 1 has room for four pages more; a growth of six puts four there and two in a new file
// 2, whose head (a copy of the main head, counting its own pages) is staged for the pager.
TEST_F(PageAllocatorTest, GrowsByABatchAndAcrossAFileBoundary) {
    EXPECT_EQ(allocator_.Grow(6), 6u);
    const PoolHead head = head_.Get();
    EXPECT_EQ(head.page_count, 9u);
    EXPECT_EQ(head.file_count, 2u);
    EXPECT_EQ(files_.FileCount(), 2);
    EXPECT_TRUE(std::filesystem::exists(DataFileSet::FileName(base_, 2)));
    EXPECT_EQ(allocator_.FreeTail(), 9u);
    EXPECT_EQ(pages_.Head(3).Next(), 4u);  // the old tail links to the batch
    std::vector<std::pair<int, uint32_t>> places;
    for (uint64_t n = 4; n <= 9; ++n) {
        ASSERT_EQ(pages_.fresh.count(n), 1u) << n;
        Page* page = pages_.fresh[n];
        places.emplace_back(page->File(), page->Position());
        EXPECT_TRUE(page->Head().Has(kPageUnused));
        EXPECT_EQ(page->Head().PageNo(), n);
        EXPECT_EQ(page->Head().Prev(), n - 1);
        EXPECT_EQ(page->Head().Next(), n == 9 ? 0 : n + 1);
        EXPECT_EQ(page->Head().FileIndex(), static_cast<uint32_t>(page->File()));
        EXPECT_EQ(page->Head().Pos(), page->Position());
    }
    const std::vector<std::pair<int, uint32_t>> expected = {{1, 1024}, {1, 1280}, {1, 1536},
                                                            {1, 1792}, {2, 256},  {2, 512}};
    EXPECT_EQ(places, expected);
    ASSERT_EQ(pages_.file_heads.count(2), 1u);
    EXPECT_EQ(pages_.file_heads[2].file_no, 2u);
    EXPECT_EQ(pages_.file_heads[2].page_count, 2u);
    EXPECT_EQ(pages_.file_heads[2].max_file_size, kMaxFileSize);

    // Taking beyond the list grows by the option's batch, in the last file.
    for (uint64_t n = 9; n >= 1; --n) {
        ASSERT_EQ(Take(), n);
    }
    EXPECT_EQ(Take(), 13u);  // pages 10 to 13 were added
    EXPECT_EQ(head_.Get().page_count, 13u);
    EXPECT_EQ(pages_.file_heads[2].page_count, 6u);
    EXPECT_EQ(pages_.fresh[13]->Position(), 6 * kPageSize);
}

TEST_F(PageAllocatorTest, RestoreRemovesTheFilesAddedSinceTheSnapshot) {
    const PageAllocator::State state = allocator_.Snapshot();
    ASSERT_EQ(allocator_.Grow(12), 12u);
    EXPECT_EQ(files_.FileCount(), 3);
    allocator_.Restore(state);
    EXPECT_EQ(files_.FileCount(), 1);
    EXPECT_FALSE(std::filesystem::exists(DataFileSet::FileName(base_, 2)));
    EXPECT_FALSE(std::filesystem::exists(DataFileSet::FileName(base_, 3)));
    EXPECT_EQ(allocator_.FreeTail(), 3u);
    // The pager puts the main head back itself; a growth then starts from file 1's end again.
    PoolHead head = head_.Get();
    head.page_count = 3;
    head.file_count = 1;
    head_.Set(head);
    pages_.ForgetFresh();
    ASSERT_EQ(allocator_.Grow(1), 1u);
    EXPECT_EQ(pages_.fresh[4]->File(), 1);
    EXPECT_EQ(pages_.fresh[4]->Position(), 4 * kPageSize);
}

TEST_F(PageAllocatorTest, FindFreeTailTellsASoundListFromABrokenOrCyclicOne) {
    struct Case {
        const char* name;
        uint64_t page;
        std::vector<uint8_t> bytes;
        PageAllocator::ListState state;
    };
    std::vector<uint8_t> in_use = FakePageSource::FreePage(2, 1, 3);
    PageHeadView(in_use.data()).Clear(kPageUnused);
    const std::vector<Case> cases = {
        {"sound", 3, FakePageSource::FreePage(3, 2, 0), PageAllocator::ListState::kSound},
        {"a page in use", 2, in_use, PageAllocator::ListState::kBroken},
        {"a cycle", 3, FakePageSource::FreePage(3, 2, 1), PageAllocator::ListState::kBroken},
        {"past the pool", 3, FakePageSource::FreePage(3, 2, 9), PageAllocator::ListState::kBroken},
    };
    for (const Case& c : cases) {
        FakePageSource pages;
        for (uint64_t n = 1; n <= 3; ++n) {
            pages.stored[n] = n == c.page ? c.bytes : pages_.stored[n];
        }
        PageAllocator allocator(head_, files_, pages, options_);
        EXPECT_EQ(allocator.FindFreeTail(), c.state) << c.name;
        EXPECT_EQ(allocator.FreeTail(), c.state == PageAllocator::ListState::kSound ? 3u : 0u)
            << c.name;
    }
    PoolHead head = head_.Get();
    head.free_head = 0;
    head_.Set(head);
    EXPECT_EQ(allocator_.FindFreeTail(), PageAllocator::ListState::kSound);
    EXPECT_EQ(allocator_.FreeTail(), 0u);
}

TEST_F(PageAllocatorTest, ABadTailStartsAFreshListWhenRepairIsOn) {
    for (bool repair : {false, true}) {
        FakePageSource pages;
        pages.stored = pages_.stored;
        options_.repair_free_list = repair;
        PageAllocator allocator(head_, files_, pages, options_);
        ASSERT_EQ(allocator.FindFreeTail(), PageAllocator::ListState::kSound);
        Page* tail = pages.Pin(3);
        tail->ChangeHead().Clear(kPageUnused);  // the tail claims to be in use
        pages.Unpin(tail);
        vell::OutputCapture capture;
        Page* page = allocator.Take();
        EXPECT_TRUE(capture.Contains("Get free page unused flag error"));
        if (!repair) {
            EXPECT_EQ(page, nullptr);
            continue;
        }
        EXPECT_TRUE(capture.Contains("Skip bad free page list,will InitFreePageList!!!"));
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(page->Number(), 7u);  // from the fresh batch 4..7, which starts a list
        EXPECT_EQ(head_.Get().free_head, 4u);
        EXPECT_EQ(pages.Head(4).Prev(), 0u);
        pages.Unpin(page);
    }
}

}  // namespace
}  // namespace brindle
