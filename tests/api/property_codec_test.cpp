#include "api/property_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "vell/endian.h"

namespace brindle {
namespace {

std::vector<uint8_t> Encode(const NamedValue& property) {
    uint32_t size = 0;
    EXPECT_TRUE(EncodeProperty(property, nullptr, size));
    std::vector<uint8_t> record(size);
    EXPECT_TRUE(EncodeProperty(property, record.data(), size));
    EXPECT_EQ(size, record.size());
    return record;
}

TEST(PropertyCodecTest, EveryValueTypeRoundTripsWithItsName) {
    const uint8_t bytes[] = {0, 1, 2, 0xFF};
    vell::VariableData byte_value;
    byte_value.SetByte(200);
    vell::VariableData stamp;
    stamp.SetDateTime(vell::DateTime(1700000000));
    const NamedValue properties[] = {
        {"empty", vell::VariableData()},
        {"text", vell::VariableData("h\xC3\xA9llo")},
        {"short", vell::VariableData(static_cast<short>(-7))},
        {"int", vell::VariableData(-2)},
        {"int64", vell::VariableData(int64_t{1} << 40)},
        {"byte", byte_value},
        {"double", vell::VariableData(2.5)},
        {"float", vell::VariableData(1.25f)},
        {"binary", vell::VariableData(bytes, sizeof(bytes))},
        {"when", stamp},
        {std::string(255, 'n'), vell::VariableData(1)},
    };
    for (const NamedValue& property : properties) {
        std::vector<uint8_t> record = Encode(property);
        const uint32_t expected =
            property.second.GetBinarySize() + static_cast<uint32_t>(property.first.size()) + 5;
        ASSERT_EQ(record.size(), expected) << property.first;
        EXPECT_EQ(vell::LoadU32(record.data()), expected);
        EXPECT_EQ(std::memcmp(record.data() + 4, property.first.c_str(), property.first.size() + 1),
                  0);

        NamedValue decoded{"stale", vell::VariableData(9)};
        ASSERT_TRUE(DecodeProperty(record.data(), static_cast<uint32_t>(record.size()), decoded))
            << property.first;
        EXPECT_EQ(decoded.first, property.first);
        EXPECT_EQ(decoded.second.GetType(), property.second.GetType());
        if (property.second.GetType() != vell::TypeEmpty) {
            EXPECT_TRUE(decoded.second == property.second) << property.first;
        }
    }
}

TEST(PropertyCodecTest, EmptyValueIsOneTypeByte) {
    std::vector<uint8_t> record = Encode({"abc", vell::VariableData()});
    EXPECT_EQ(record, (std::vector<uint8_t>{9, 0, 0, 0, 'a', 'b', 'c', 0, 0}));
}

TEST(PropertyCodecTest, EncodeRefusesBadNamesAndShortBuffers) {
    uint32_t size = 0;
    EXPECT_FALSE(EncodeProperty({"", vell::VariableData(1)}, nullptr, size));
    EXPECT_FALSE(EncodeProperty({std::string("a\0b", 3), vell::VariableData(1)}, nullptr, size));

    NamedValue property{"n", vell::VariableData(1)};
    std::vector<uint8_t> buffer(16, 0xEE);
    size = 10;  // the record needs 1 + 5 + 5 = 11
    EXPECT_FALSE(EncodeProperty(property, buffer.data(), size));
    size = static_cast<uint32_t>(buffer.size());
    EXPECT_TRUE(EncodeProperty(property, buffer.data(), size));
    EXPECT_EQ(size, 11u);
    EXPECT_EQ(buffer[11], 0xEE);  // nothing written past the record
}

TEST(PropertyCodecTest, DecodeRefusesMalformedRecords) {
    std::vector<uint8_t> good = Encode({"name", vell::VariableData(42)});
    const uint32_t length = static_cast<uint32_t>(good.size());
    NamedValue out;
    EXPECT_FALSE(DecodeProperty(nullptr, length, out));
    EXPECT_FALSE(DecodeProperty(good.data(), 3, out));
    EXPECT_FALSE(DecodeProperty(good.data(), length - 1, out));  // length word disagrees

    std::vector<uint8_t> truncated_value = good;  // value cut short, length word adjusted
    truncated_value.resize(good.size() - 2);
    vell::StoreU32(truncated_value.data(), length - 2);
    EXPECT_FALSE(DecodeProperty(truncated_value.data(), length - 2, out));

    std::vector<uint8_t> unterminated = {8, 0, 0, 0, 'a', 'b', 'c', 'd'};
    EXPECT_FALSE(DecodeProperty(unterminated.data(), 8, out));

    std::vector<uint8_t> unknown_type = good;
    unknown_type[4 + 5] = 10;
    EXPECT_FALSE(DecodeProperty(unknown_type.data(), length, out));

    std::vector<uint8_t> unterminated_text = {8, 0, 0, 0, 'a', 0, 1, 'x'};
    EXPECT_FALSE(DecodeProperty(unterminated_text.data(), 8, out));
}

}  // namespace
}  // namespace brindle
