#include "vell/variable_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace vell {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(const VariableData& value) {
    int length = 0;
    EXPECT_EQ(value.ToBinary(nullptr, length), nullptr);
    Bytes form(static_cast<size_t>(length));
    EXPECT_EQ(value.ToBinary(form.data(), length), form.data());
    EXPECT_EQ(length, static_cast<int>(form.size()));
    return form;
}

// Decodes from a heap copy of exactly the given bytes, so that reading past them is caught.
bool Decode(VariableData& value, const Bytes& form) {
    auto exact = std::make_unique<uint8_t[]>(form.size());
    std::copy(form.begin(), form.end(), exact.get());
    return value.FromBinary(exact.get(), static_cast<int>(form.size()));
}

// A copied block; an empty one still gets a data pointer, as a null one is refused.
VariableData Block(const Bytes& bytes) {
    static const uint8_t kNoBytes = 0;
    return VariableData(bytes.empty() ? &kNoBytes : bytes.data(), static_cast<int>(bytes.size()));
}

TEST(VariableDataTest, StoredFormsAreByteExactAndDecodeBack) {
    VariableData date;
    date.SetDateTime(DateTime(0x1122334455));
    const std::vector<std::pair<VariableData, Bytes>> cases = {
        {VariableData(), {0}},
        {VariableData().SetString(nullptr), {1, 0}},
        {VariableData("a\xC3"), {1, 'a', 0xC3, 0}},
        {VariableData(static_cast<short>(-2)), {2, 0xFE, 0xFF}},
        {VariableData(-2), {3, 0xFE, 0xFF, 0xFF, 0xFF}},
        {VariableData(int64_t{0x0102030405060708}), {4, 8, 7, 6, 5, 4, 3, 2, 1}},
        {VariableData().SetByte(0xAB), {5, 0xAB}},
        {VariableData(1.0), {6, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        {VariableData(-2.0f), {7, 0, 0, 0, 0xC0}},
        {Block({1, 0, 3}), {8, 3, 0, 0, 0, 1, 0, 3}},
        {date, {9, 0x55, 0x44, 0x33, 0x22, 0x11, 0, 0, 0}},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(static_cast<int>(expected[0]));
        EXPECT_EQ(value.GetBinarySize(), static_cast<int>(expected.size()));
        EXPECT_EQ(Encode(value), expected);

        VariableData decoded(3.5);
        ASSERT_TRUE(Decode(decoded, expected));
        EXPECT_EQ(decoded.GetType(), value.GetType());
        EXPECT_EQ(Encode(decoded), expected);

        // One byte short: nothing written, null returned.
        Bytes guard(expected.size(), 0xEE);
        int short_length = static_cast<int>(expected.size()) - 1;
        EXPECT_EQ(value.ToBinary(guard.data(), short_length), nullptr);
        EXPECT_EQ(guard, Bytes(expected.size(), 0xEE));
        // Every shorter form is refused and leaves an empty value.
        for (size_t cut = 0; cut < expected.size(); ++cut) {
            EXPECT_FALSE(Decode(decoded, Bytes(expected.begin(), expected.begin() + cut))) << cut;
            EXPECT_EQ(decoded.GetType(), TypeEmpty);
        }
    }
    // Kept out of the table: copying an empty block gives an empty value.
    EXPECT_EQ(Encode(Block({})), (Bytes{8, 0, 0, 0, 0}));
    VariableData empty_block;
    ASSERT_TRUE(Decode(empty_block, {8, 0, 0, 0, 0}));
    EXPECT_EQ(empty_block.GetType(), TypeBinary);
    EXPECT_EQ(empty_block.GetBinarySize(), 5);
}

TEST(VariableDataTest, FromBinaryRefusesUnknownTypesAndLengthsThatLie) {
    for (int type = 10; type <= 255; ++type) {
        VariableData value(7);
        EXPECT_FALSE(Decode(value, {static_cast<uint8_t>(type), 0, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(value.GetType(), TypeEmpty);
    }
    VariableData value;
    EXPECT_FALSE(Decode(value, {8, 10, 0, 0, 0, 1, 2, 3, 4, 5}));
    // Lengths of 2 GiB and more must not wrap into something that seems to fit.
    EXPECT_FALSE(Decode(value, {8, 0, 0, 0, 0x80, 1, 2, 3, 4, 5}));
    EXPECT_FALSE(Decode(value, {8, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5}));
    EXPECT_FALSE(Decode(value, {1, 'a', 'b', 'c'}));
    EXPECT_FALSE(value.FromBinary(Bytes{0}.data(), -1));

    VariableData untouched(42);
    EXPECT_FALSE(untouched.FromBinary(nullptr, 5));
    EXPECT_EQ(untouched.GetInt(), 42);
}

TEST(VariableDataTest, GettersNeverConvertAndBlockReadsRespectTheBufferSize) {
    VariableData value(5);
    int length = 0;
    DateTime when(77);
    EXPECT_TRUE(value.GetShort() == 0 && value.GetInt64() == 0 && value.GetString() == nullptr);
    EXPECT_FALSE(value.GetBinary(nullptr, length) || value.GetDateTime(when));
    EXPECT_FALSE(value.SetBinary(nullptr, 10, true));
    EXPECT_EQ(value.GetType(), TypeEmpty);

    uint8_t bytes[] = {1, 2, 3, 4};
    ASSERT_TRUE(value.SetBinary(bytes, 4, true));
    EXPECT_TRUE(value.GetBinary(nullptr, length));
    EXPECT_EQ(length, 4);
    uint8_t out[4] = {};
    length = 3;
    EXPECT_FALSE(value.GetBinary(out, length));
    EXPECT_EQ(out[0], 0);
    length = 4;
    EXPECT_TRUE(value.GetBinary(out, length));
    EXPECT_EQ(std::memcmp(out, bytes, 4), 0);
}

TEST(VariableDataTest, CopiesOwnFreshMemoryOrBorrowTheCallersBytes) {
    uint8_t bytes[] = {1, 2, 3};
    auto first_byte = [](const VariableData& value) {
        uint8_t out[3] = {};
        int length = 3;
        return value.GetBinary(out, length) ? out[0] : 0xFF;
    };
    VariableData owned(bytes, 3);
    VariableData borrowed;
    ASSERT_TRUE(borrowed.SetBinary(bytes, 3, false));
    {
        VariableData owned_copy(owned);
        VariableData borrowed_copy;
        borrowed_copy = borrowed;
        bytes[0] = 9;
        EXPECT_TRUE(first_byte(owned) == 1 && first_byte(owned_copy) == 1);
        EXPECT_TRUE(first_byte(borrowed) == 9 && first_byte(borrowed_copy) == 9);
    }  // the borrowed copy must not release the caller's bytes
    EXPECT_EQ(first_byte(borrowed), 9);

    VariableData text("text");
    VariableData text_copy(text);
    EXPECT_NE(text_copy.GetString(), text.GetString());
    text.SetString(text.GetString());  // from its own string
    // Assigned to themselves, through references so that the compiler lets the test say it.
    const VariableData& text_itself = text;
    const VariableData& owned_itself = owned;
    text = text_itself;
    owned = owned_itself;
    EXPECT_STREQ(text.GetString(), "text");
    EXPECT_EQ(first_byte(owned), 1);
    // An empty block has no data, and its copy is an empty value.
    const VariableData empty_block = Block({});
    EXPECT_EQ(VariableData(empty_block).GetType(), TypeEmpty);
}

TEST(VariableDataTest, ComparisonsNeedOneTypeAndFollowEachTypesOrder) {
    // Different types: every operator is false.
    VariableData one(1);
    VariableData two(static_cast<short>(2));
    EXPECT_FALSE(one < two || one > two || one == two || one != two || one <= two || one >= two);

    VariableData early;
    VariableData late;
    early.SetDateTime(DateTime(10));
    late.SetDateTime(DateTime(20));
    EXPECT_TRUE(VariableData(-1) < VariableData(1) && early < late && late >= early);
    EXPECT_TRUE(VariableData().SetByte(200) > VariableData().SetByte(1));
    EXPECT_TRUE(VariableData(int64_t{0x100000000}) > VariableData(int64_t{0xFFFFFFFF}));
    EXPECT_TRUE(VariableData("\xC3") > VariableData("z"));  // byte-wise, unsigned
    EXPECT_TRUE(VariableData("abc") <= VariableData("abc"));

    VariableData nan(std::nan(""));
    EXPECT_FALSE(nan == nan || nan < nan || nan <= nan || nan >= nan);
    EXPECT_TRUE(nan != nan && VariableData(0.0) == VariableData(-0.0));
    EXPECT_TRUE(VariableData() == VariableData() && !(VariableData() < VariableData()));

    VariableData block = Block({1, 2});
    EXPECT_TRUE(block == Block({1, 2}));
    EXPECT_TRUE(block != Block({1, 3}) && block != Block({1, 2, 0}));
    EXPECT_FALSE(block <= Block({1, 2}) || block < Block({1, 3}) || block >= Block({1, 2}));
    EXPECT_FALSE(Block({}) == Block({}));
}

}  // namespace
}  // namespace vell
