#include "api/property_codec.h"

#include <gtest/gtest.h>

#include <vector>

namespace brindle {
namespace {

// A record is its length word, the name with its NUL, then the value's stored form (whose
// every type is the value's own test).
TEST(PropertyCodecTest, RecordsAreByteExactAndMalformedOnesAreRefused) {
    const std::vector<uint8_t> good = {11, 0, 0, 0, 'n', 0, 3, 42, 0, 0, 0};  // "n" = int 42
    uint32_t size = 0;
    ASSERT_TRUE(EncodeProperty({"n", 42}, nullptr, size));
    std::vector<uint8_t> record(size + 1, 0xEE);
    --size;
    EXPECT_FALSE(EncodeProperty({"n", 42}, record.data(), size));  // one byte short
    size = static_cast<uint32_t>(record.size());
    ASSERT_TRUE(EncodeProperty({"n", 42}, record.data(), size));
    EXPECT_EQ(record, (std::vector<uint8_t>{11, 0, 0, 0, 'n', 0, 3, 42, 0, 0, 0, 0xEE}));
    EXPECT_FALSE(EncodeProperty({"", 1}, nullptr, size));
    EXPECT_FALSE(EncodeProperty({std::string("a\0b", 3), 1}, nullptr, size));

    NamedValue out{"stale", 9};
    ASSERT_TRUE(DecodeProperty(good.data(), 11, out));
    EXPECT_EQ(out.first, "n");
    EXPECT_EQ(out.second.GetInt(), 42);
    const uint8_t name_not_ended[] = {8, 0, 0, 0, 'a', 'b', 'c', 'd'};
    EXPECT_FALSE(DecodeProperty(name_not_ended, 8, out));
    EXPECT_FALSE(DecodeProperty(nullptr, 11, out));
    EXPECT_FALSE(DecodeProperty(good.data(), 3, out));
    EXPECT_FALSE(DecodeProperty(good.data(), 10, out));  // length word disagrees
}

}  // namespace
}  // namespace brindle
