#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/handles.h"
#include "api/property_codec.h"
#include "api_test_util.h"
#include "brindle.h"
#include "keys/key_operations.h"
#include "pool/page_handle.h"

namespace brindle {
namespace {

using testing_api::Append;
using testing_api::Edit;
using testing_api::PropertyList;
using testing_api::TestDatabase;

class PropertyExportsTest : public ::testing::Test {
protected:
    void SetUp() override { key_ = db_.Key("m", "", MODE_CREATE); }

    const BRNHandle& Handle() const { return *static_cast<const BRNHandle*>(key_); }
    KeyOperations Operations() {
        const BRNHandle& handle = Handle();
        return KeyOperations(*handle.file->database, handle.main_key, handle.node);
    }

    TestDatabase db_;
    void* key_ = nullptr;
};

TEST_F(PropertyExportsTest, AppendEditGetAndDeleteOneProperty) {
    vell::VariableData value(99);
    EXPECT_EQ(BRN_GetKeyProperty(key_, "p", value), BRN_ERR_PROPERTY_NOT_FOUND);
    EXPECT_EQ(value.GetInt(), 99);  // untouched
    EXPECT_EQ(Edit(key_, "p", vell::VariableData(1)), BRN_ERR_PROPERTY_NOT_FOUND);
    EXPECT_EQ(BRN_DeleteProperty(key_, "p"), BRN_ERR_PROPERTY_NOT_FOUND);

    EXPECT_EQ(Append(key_, "p", vell::VariableData(1)), BRN_OK);
    EXPECT_EQ(Append(key_, "p", vell::VariableData(2)), BRN_ERR_PROPERTY_EXISTS);
    EXPECT_EQ(Append(key_, "P", vell::VariableData(3)), BRN_OK);  // names are case-sensitive
    EXPECT_EQ(Edit(key_, "p", vell::VariableData("now text")), BRN_OK);
    EXPECT_EQ(BRN_GetKeyProperty(key_, "p", value), BRN_OK);
    EXPECT_EQ(value.GetType(), vell::TypeString);
    EXPECT_STREQ(value.GetString(), "now text");

    EXPECT_EQ(BRN_DeleteProperty(key_, "p"), BRN_OK);
    EXPECT_EQ(BRN_GetKeyProperty(key_, "p", value), BRN_ERR_PROPERTY_NOT_FOUND);
    EXPECT_EQ(BRN_GetKeyProperty(key_, "P", value), BRN_OK);
    EXPECT_EQ(value.GetInt(), 3);
}

TEST_F(PropertyExportsTest, ListingKeepsStoredOrderAndAppendsToTheList) {
    PropertyList properties{{"kept", vell::VariableData(0)}};
    EXPECT_EQ(BRN_SelectKeyPropertys(key_, properties), BRN_OK);
    ASSERT_EQ(properties.size(), 1u);

    const std::vector<uint8_t> block(3000, 0xA5);  // runs over several pages
    vell::VariableData stamp;
    stamp.SetDateTime(vell::DateTime(1700000000));
    ASSERT_EQ(Append(key_, "a", vell::VariableData(static_cast<short>(-3))), BRN_OK);
    ASSERT_EQ(Append(key_, "big", vell::VariableData(block.data(), 3000)), BRN_OK);
    ASSERT_EQ(Append(key_, "c", vell::VariableData()), BRN_OK);
    ASSERT_EQ(Append(key_, "d", stamp), BRN_OK);
    ASSERT_EQ(Edit(key_, "a", vell::VariableData(2.5)), BRN_OK);  // keeps its place

    EXPECT_EQ(BRN_SelectKeyPropertys(key_, properties), BRN_OK);
    ASSERT_EQ(properties.size(), 5u);
    auto it = properties.begin();
    EXPECT_EQ((++it)->first, "a");
    EXPECT_EQ(it->second.GetDouble(), 2.5);
    EXPECT_EQ((++it)->first, "big");
    EXPECT_TRUE(it->second == vell::VariableData(block.data(), 3000));
    EXPECT_EQ((++it)->first, "c");
    EXPECT_EQ(it->second.GetType(), vell::TypeEmpty);
    EXPECT_EQ((++it)->first, "d");
    EXPECT_TRUE(it->second == stamp);

    // The large value also reads back alone, through a grown work buffer.
    vell::VariableData big;
    EXPECT_EQ(BRN_GetKeyProperty(key_, "big", big), BRN_OK);
    EXPECT_TRUE(big == vell::VariableData(block.data(), 3000));

    // The values are stored, not just cached: they come back after a reopen.
    db_.Reopen();
    key_ = db_.Key("m");
    PropertyList reread;
    EXPECT_EQ(BRN_SelectKeyPropertys(key_, reread), BRN_OK);
    EXPECT_EQ(reread.size(), 4u);
}

TEST_F(PropertyExportsTest, UndecodableRecordsGive108Or1000) {
    ASSERT_EQ(Append(key_, "good", vell::VariableData(1)), BRN_OK);
    // A record whose value has an unknown type byte, written past the exports' encoder.
    const uint8_t bad[] = {9, 0, 0, 0, 'b', 'a', 'd', 0, 10};
    ASSERT_EQ(Operations().AppendProperty("bad", bad, sizeof(bad)), BRN_OK);

    vell::VariableData value(5);
    EXPECT_EQ(BRN_GetKeyProperty(key_, "bad", value), BRN_ERR_BAD_VALUE);
    EXPECT_EQ(value.GetInt(), 5);
    PropertyList properties;
    EXPECT_EQ(BRN_SelectKeyPropertys(key_, properties), BRN_ERR_EXCEPTION);
    ASSERT_EQ(properties.size(), 1u);  // what was decoded before the failure stays
    EXPECT_EQ(properties.front().first, "good");
}

TEST_F(PropertyExportsTest, TreeFaultsReachTheHostAsMDException) {
    ASSERT_EQ(Append(key_, "p", vell::VariableData(1)), BRN_OK);
    CommonTree& database = *Handle().file->database;
    PageHandle node(database.Pool(), Handle().node);
    node->Head().SetPageType(9);  // no longer a node page

    vell::VariableData value;
    EXPECT_THROW(BRN_GetKeyProperty(key_, "p", value), MDException);
    EXPECT_THROW(Append(key_, "q", vell::VariableData(2)), MDException);
    EXPECT_THROW(Edit(key_, "p", vell::VariableData(2)), MDException);
    EXPECT_THROW(BRN_DeleteProperty(key_, "p"), MDException);
    try {
        BRN_GetKeyProperty(key_, "p", value);
    } catch (const MDException& e) {
        EXPECT_STREQ(e.GetMessage(), "Data format error -- FindNodeProperty");
    }
    // The locks were released on the way out.
    node->Head().SetPageType(5);
    EXPECT_EQ(Edit(key_, "p", vell::VariableData(2)), BRN_OK);
    EXPECT_EQ(BRN_GetKeyProperty(key_, "p", value), BRN_OK);
    EXPECT_EQ(value.GetInt(), 2);
}

}  // namespace
}  // namespace brindle
