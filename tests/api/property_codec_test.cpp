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
    const std::vector<uint8_t> malformed[] = {
        {10, 0, 0, 0, 'n', 0, 3, 42, 0, 0},      // value cut short
        {11, 0, 0, 0, 'n', 0, 10, 42, 0, 0, 0},  // unknown type
        {8, 0, 0, 0, 'a', 'b', 'c', 'd'},        // name not ended
        {8, 0, 0, 0, 'a', 0, 1, 'x'},            // text not ended
    };
    for (const std::vector<uint8_t>& record : malformed) {
        EXPECT_FALSE(DecodeProperty(record.data(), static_cast<uint32_t>(record.size()), out));
    }
    EXPECT_FALSE(DecodeProperty(nullptr, 11, out));
    EXPECT_FALSE(DecodeProperty(good.data(), 3, out));
    EXPECT_FALSE(DecodeProperty(good.data(), 10, out));  // length word disagrees
}

}  // namespace
}  // namespace brindle
