#include "files/page_cipher.h"

#include <gtest/gtest.h>

#include <vector>

namespace brindle {
namespace {

TEST(PageCipherTest, AlignsTheKeyFromTheEndOfTheRegion) {
    std::vector<uint8_t> region(513, 0);
    ASSERT_TRUE(PageCipher::Encipher(region.data(), region.size()));
    EXPECT_EQ(region[512], PageCipher::KeyByte(0));  // last byte
    EXPECT_EQ(region[0], PageCipher::KeyByte(0));    // first byte wraps round to key[0]
    EXPECT_EQ(region[1], PageCipher::KeyByte(511));
    EXPECT_EQ(region[511], PageCipher::KeyByte(1));

    // The usual data area of a 1024-byte page starts with key[439].
    std::vector<uint8_t> area(952, 0);
    PageCipher::Encipher(area.data(), area.size());
    EXPECT_EQ(area[0], PageCipher::KeyByte(439));
}

}  // namespace
}  // namespace brindle
