#include "api/property_codec.h"

#include <gtest/gtest.h>

#include <vector>

namespace brindle {
namespace {

TEST(PropertyCodecTest, RecordsRoundTripAndMalformedOnesAreRefused) {
    vell::VariableData stamp;
    stamp.SetDateTime(vell::DateTime(1700000000));
    const NamedValue properties[] = {{"s", "h\xC3\xA9llo"}, {"i64", int64_t{1} << 40},
                                     {"f", 1.25f},          {"t", stamp},
                                     {"empty", {}},         {std::string(255, 'n'), 1}};
    for (const NamedValue& property : properties) {
        uint32_t size = 0;
        ASSERT_TRUE(EncodeProperty(property, nullptr, size));
        ASSERT_EQ(size, property.second.GetBinarySize() + property.first.size() + 5);
        std::vector<uint8_t> record(size + 1, 0xEE);
        --size;
        EXPECT_FALSE(EncodeProperty(property, record.data(), size));  // one byte short
        size = static_cast<uint32_t>(record.size());
        ASSERT_TRUE(EncodeProperty(property, record.data(), size));
        EXPECT_EQ(record.back(), 0xEE);  // nothing written past the record
        NamedValue decoded{"stale", 9};
        ASSERT_TRUE(DecodeProperty(record.data(), size, decoded));
        EXPECT_EQ(decoded.first, property.first);
        EXPECT_EQ(decoded.second.GetType(), property.second.GetType());
        EXPECT_TRUE(decoded.second == property.second) << property.first;
    }
    uint32_t size = 0;
    EXPECT_FALSE(EncodeProperty({"", 1}, nullptr, size));
    EXPECT_FALSE(EncodeProperty({std::string("a\0b", 3), 1}, nullptr, size));

    // "n", then the int 42: 4 + 2 + 5 bytes.
    std::vector<uint8_t> good = {11, 0, 0, 0, 'n', 0, 3, 42, 0, 0, 0};
    NamedValue out;
    ASSERT_TRUE(DecodeProperty(good.data(), 11, out));
    EXPECT_EQ(out.second.GetInt(), 42);
    // Values that are cut short or of no known type are the value decoder's own test.
    const uint8_t name_not_ended[] = {8, 0, 0, 0, 'a', 'b', 'c', 'd'};
    EXPECT_FALSE(DecodeProperty(name_not_ended, 8, out));
    EXPECT_FALSE(DecodeProperty(nullptr, 11, out));
    EXPECT_FALSE(DecodeProperty(good.data(), 3, out));
    EXPECT_FALSE(DecodeProperty(good.data(), 10, out));  // length word disagrees
}

}  // namespace
}  // namespace brindle
