#include "brindle/sync_mapping.h"

#include <gtest/gtest.h>

#include <random>

#include "brindle/tool_error.h"

namespace brindle::tool::sync {
namespace {

TEST(SyncMapping, AnyNameSurvivesTheTripThroughAnEtcdKey) {
    const KeyNaming naming("/fleet/");  // a trailing '/' is the same prefix
    std::vector<std::string> names = {"plain",   "a/b",         "100%",    "=x",
                                      "x=",      "%41",         "sp ace",  "tab\there",
                                      "del\x7f", "caf\xc3\xa9", "\xff\xfe"};
    std::mt19937 random(7);
    for (int i = 0; i < 200; ++i) {
        std::string name(1 + random() % 12, '\0');
        for (char& c : name) {
            c = static_cast<char>(1 + random() % 255);  // any byte but NUL, '\\' included
        }
        names.push_back(name);
    }
    for (const std::string& name : names) {
        const Place place{name, {"k", name}, name};
        const std::string key = naming.KeyOf(place);
        ASSERT_EQ(key.rfind("/fleet/", 0), 0u);
        const std::optional<Place> back = naming.PlaceOf(key);
        ASSERT_TRUE(back.has_value()) << key;
        EXPECT_EQ(back->main_key, name);
        EXPECT_EQ(back->path, place.path);
        EXPECT_EQ(back->property, name);
        // A name never reads as the property part, and escapes are upper case only.
        EXPECT_EQ(EscapeName(name).find_first_of("/="), std::string::npos);
    }
}

TEST(SyncMapping, MarkersAndPropertiesAreTold) {
    const KeyNaming naming("/fleet");
    EXPECT_EQ(naming.KeyOf({"App", {}, ""}), "/fleet/App/=");
    EXPECT_EQ(naming.KeyOf({"App", {"db"}, "port"}), "/fleet/App/db/=port");
    EXPECT_EQ(naming.KeyOf({"App", {"a/b"}, "x=y"}), "/fleet/App/a%2Fb/=x%3Dy");
    EXPECT_TRUE(naming.PlaceOf("/fleet/App/db/=")->IsMarker());
    EXPECT_TRUE(naming.PlaceOf("/fleet/App/=")->IsMainKey());
    EXPECT_EQ(naming.DirectoryOf("App", {"db"}), "/fleet/App/db/");
}

TEST(SyncMapping, KeysThisMappingNeverWritesAreNotPlaces) {
    const KeyNaming naming("/fleet");
    for (const char* foreign :
         {"/fleet", "/fleet/", "/fleet/App", "/fleet/App/", "/fleet/App/db",
          "/fleets/App/=", "/other/App/=", "/fleet/App//=", "/fleet/=", "/fleet/App/%2f/=",
          "/fleet/App/%2/=", "/fleet/App/%/=", "/fleet/App/=a=b", "/fleet/App/=a/"}) {
        EXPECT_FALSE(naming.PlaceOf(foreign).has_value()) << foreign;
    }
}

TEST(SyncMapping, RangeEndCoversEveryKeyBelowThePrefix) {
    EXPECT_EQ(RangeEndOf("/fleet/"), "/fleet0");
    EXPECT_EQ(RangeEndOf(std::string("a\xff", 2)), "b");
    EXPECT_EQ(RangeEndOf(std::string("\xff", 1)), std::string(1, '\0'));
}

TEST(SyncMapping, ValuesAreTheDumpsPropertyWithoutItsName) {
    const std::string text =
        PropertyValueText({"port", vell::VariableData(static_cast<short>(8080))});
    EXPECT_EQ(text, R"({"type":"short","value":8080})");
    EXPECT_EQ(PropertyValueFrom(text, "here").GetShort(), 8080);
    EXPECT_THROW(PropertyValueFrom("[1]", "here"), ToolError);
    EXPECT_THROW(PropertyValueFrom(R"({"type":"short","value":"x"})", "here"), ToolError);
    bool hidden = false;
    bool read_only = false;
    MarkerFlagsFrom(MarkerValueText(true, true, false), hidden, read_only);
    EXPECT_TRUE(hidden);
    EXPECT_FALSE(read_only);
    MarkerFlagsFrom("not json", hidden, read_only);
    EXPECT_FALSE(hidden);
}

}  // namespace
}  // namespace brindle::tool::sync
