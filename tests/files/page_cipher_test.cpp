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

TEST(PageCipherTest, IsItsOwnInverseAndCopiesWithoutTouchingTheSource) {
    std::vector<uint8_t> plain(1000);
    for (size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<uint8_t>(i * 7);
    }
    std::vector<uint8_t> copy(plain.size());
    ASSERT_TRUE(PageCipher::EncipherCopy(plain.data(), copy.data(), plain.size()));
    EXPECT_NE(copy, plain);
    std::vector<uint8_t> in_place = plain;
    PageCipher::Encipher(in_place.data(), in_place.size());
    EXPECT_EQ(in_place, copy);
    PageCipher::Encipher(copy.data(), copy.size());
    EXPECT_EQ(copy, plain);

    EXPECT_TRUE(PageCipher::Encipher(plain.data(), 0));
    EXPECT_FALSE(PageCipher::Encipher(nullptr, 4));
    EXPECT_FALSE(PageCipher::EncipherCopy(plain.data(), nullptr, 4));
}

}  // namespace
}  // namespace brindle
