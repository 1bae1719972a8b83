// The free list is a doubly linked chain through the pages' heads. Growth that crosses into
// a new data file writes its fresh pages in two batches, one per file; the second batch must
// link back to the last page of the first, or a later walk from the tail goes astray.

#include <gtest/gtest.h>

#include <string>

#include "pool/page_handle.h"
#include "tree_test_util.h"
#include "vell/output.h"

namespace brindle {
namespace {

using testing_tree::OpenTree;

// The links of the free list that do not point back to the page before, one line each.
std::string BrokenBackLinks(Pager& pool) {
    std::string broken;
    uint64_t previous = 0;
    for (uint64_t number = pool.FreeHead(); number != 0;) {
        PageHandle page(&pool, number);
        if (page->Head().Prev() != previous) {
            broken += "page " + std::to_string(number) + " links back to " +
                      std::to_string(page->Head().Prev()) + ", not " + std::to_string(previous) +
                      "\n";
        }
        previous = number;
        number = page->Head().Next();
    }
    return broken;
}

// Files of 16 pages of 1024 bytes, the first of them the head area: batches of every size
// against that boundary put the crossing at every place in a batch.
TEST(FreeListGrowthTest, BatchesThatCrossIntoANewFileLinkBackToTheFirstFilesPages) {
    for (const uint64_t batch : {4u, 8u, 15u, 20u, 40u}) {
        SCOPED_TRACE("batch of " + std::to_string(batch));
        testsupport::TempDir dir;
        vell::OutputCapture quiet;  // the pool reports creating its files
        OpenTree db(dir.File("db"), "ZRCONFIG -- ROOT", 16 * 1024);
        ASSERT_TRUE(db.ok);
        db.pool->Options().add_page_count = batch;
        while (db.pool->FileCount() < 5) {
            PageHandle used(db.pool.get(), 0, true);
            const uint8_t byte = 1;
            used->AddData(&byte, 1);  // a page in use, owned by nothing: a leak, not a fault
            const std::string broken = BrokenBackLinks(*db.pool);
            ASSERT_EQ(broken, "") << "after taking page " << used->Number();
        }
        EXPECT_EQ(db.Problems(), "");
    }
}

}  // namespace
}  // namespace brindle
