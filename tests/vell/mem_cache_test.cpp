#include "vell/mem_cache.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vell {
namespace {

void Fill(MemCache& buffer) {
    for (uint32_t i = 0; i < buffer.Size(); ++i) {
        buffer.Data()[i] = static_cast<uint8_t>(i + 1);
    }
}

TEST(MemCacheTest, AllocateKeepsLargeEnoughBuffersAndResizeKeepsContents) {
    MemCache buffer(20);
    Fill(buffer);
    uint8_t* before = buffer.Data();
    EXPECT_TRUE(buffer.Allocate(10));
    EXPECT_EQ(buffer.Data(), before);
    EXPECT_EQ(buffer.Data()[19], 20);

    EXPECT_TRUE(buffer.Resize(30));
    EXPECT_EQ(buffer.Size(), 30u);
    for (uint32_t i = 0; i < 20; ++i) {
        EXPECT_EQ(buffer.Data()[i], i + 1);
    }
    EXPECT_TRUE(buffer.Allocate(40));
    EXPECT_EQ(buffer.Size(), 40u);

    EXPECT_FALSE(buffer.Allocate(0xFFFFFFFFu));
    EXPECT_FALSE(buffer.Resize(0xFFFFFFFFu));
    EXPECT_EQ(buffer.Size(), 40u);
}

TEST(MemCacheTest, ZeroAndCopies) {
    MemCache buffer(20);
    Fill(buffer);
    buffer.Zero(5);
    EXPECT_EQ(buffer.Data()[4], 0);
    EXPECT_EQ(buffer.Data()[5], 6);
    buffer.Zero(0);
    EXPECT_EQ(buffer.Data()[19], 0);

    Fill(buffer);
    MemCache copy(buffer);
    ASSERT_EQ(copy.Size(), 20u);
    EXPECT_NE(copy.Data(), buffer.Data());
    EXPECT_EQ(std::memcmp(copy.Data(), buffer.Data(), 20), 0);
    MemCache empty;
    copy = empty;
    EXPECT_EQ(copy.Size(), 0u);
    EXPECT_EQ(copy.Data(), nullptr);
    empty.Zero(3);  // nothing to clear, nothing breaks
}

}  // namespace
}  // namespace vell
