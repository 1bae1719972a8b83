// Processes that all write with BRN_OPEN_SHARED take turns whole: a read-modify-write batch of
// one never overlaps another's. And the open options that may not be mixed are refused.
#include <gtest/gtest.h>

#include "process_test_util.h"

namespace brindle::sharing {
namespace {

int Units() {
    return EnvCount("BRINDLE_PROCESS_UNITS", 300);
}

TEST(ProcessSharedWritersTest, TwoWritersLoseNoUpdateAndAReaderSeesOnlyWholeUnits) {
    SharedDatabase db;
    const std::string units = std::to_string(Units());
    auto reader = db.Start("count-read", {"ro"});
    ASSERT_TRUE(reader->WaitForLine("open")) << reader->Output();
    auto first = db.Start("count-write", {"1", units, "shared"});
    auto second = db.Start("count-write", {"2", units, "shared"});
    EXPECT_TRUE(EndedWell(*first));
    EXPECT_TRUE(EndedWell(*second));
    reader->Signal(SIGTERM);
    EXPECT_TRUE(EndedWell(*reader));

    CounterState state = db.Counter();
    EXPECT_EQ(CounterStateFault(state), "");
    EXPECT_EQ(state.counter, 2 * Units());
    EXPECT_EQ(state.markers[1].size(), static_cast<size_t>(Units()));
    EXPECT_EQ(state.markers[2].size(), static_cast<size_t>(Units()));
    EXPECT_EQ(db.StructureFault(), "");
}

// Opens the database in this process with `options` while the driver holds it; the code.
int OpenBeside(const SharedDatabase& db, unsigned options) {
    vell::OutputCapture quiet;
    void* file = nullptr;
    const int result = BRN_OpenFile(db.path().c_str(), file, options);
    if (result == BRN_OK) {
        BRN_CloseBRNFHandle(file);
    }
    return result;
}

TEST(ProcessSharedWritersTest, AWriterAloneAndSharedWritersExcludeEachOther) {
    SharedDatabase db;
    {
        auto shared = db.Start("hold", {"shared"});
        ASSERT_TRUE(shared->WaitForLine("open 1")) << shared->Output();
        EXPECT_EQ(OpenBeside(db, 0), BRN_ERR_SHARED_BY_OTHERS);
        EXPECT_EQ(OpenBeside(db, BRN_OPEN_READ_ONLY), BRN_OK);
        EXPECT_EQ(OpenBeside(db, BRN_OPEN_SHARED), BRN_OK);
        shared->Signal(SIGTERM);
        EXPECT_TRUE(EndedWell(*shared));
    }
    {
        auto alone = db.Start("hold", {"0"});
        ASSERT_TRUE(alone->WaitForLine("open 1")) << alone->Output();
        EXPECT_EQ(OpenBeside(db, BRN_OPEN_SHARED), BRN_ERR_LOCKED);
        EXPECT_EQ(OpenBeside(db, 0), BRN_ERR_LOCKED);
        EXPECT_EQ(OpenBeside(db, BRN_OPEN_READ_ONLY), BRN_OK);
        alone->Signal(SIGTERM);
        EXPECT_TRUE(EndedWell(*alone));
    }
    // Once the holders are gone, any open works again.
    EXPECT_EQ(OpenBeside(db, 0), BRN_OK);
}

TEST(ProcessSharedWritersTest, SharedWritersMustAgreeOnDurability) {
    SharedDatabase db;
    ScopedEnvironment durability("BRINDLE_DURABILITY", "full");
    auto full = db.Start("hold", {"shared"});
    ASSERT_TRUE(full->WaitForLine("open 1")) << full->Output();
    durability.Set("off");
    EXPECT_EQ(OpenBeside(db, BRN_OPEN_SHARED), BRN_ERR_DURABILITY_MISMATCH);
    durability.Set("full");
    EXPECT_EQ(OpenBeside(db, BRN_OPEN_SHARED), BRN_OK);
    full->Signal(SIGTERM);
    EXPECT_TRUE(EndedWell(*full));
}

}  // namespace
}  // namespace brindle::sharing
