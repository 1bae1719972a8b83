#include "md_exception.h"

#include <gtest/gtest.h>

#include <string>

TEST(MDExceptionTest, KeepsTextsThatFitAndFallsBackOtherwise) {
    MDException normal("IOException", "Read failed -- GetPage");
    EXPECT_STREQ(normal.GetTypeName(), "IOException");
    EXPECT_STREQ(normal.GetMessage(), "Read failed -- GetPage");

    MDException nulls(nullptr, nullptr);
    EXPECT_STREQ(nulls.GetTypeName(), "Execption");
    EXPECT_STREQ(nulls.GetMessage(), "Unknown exception");

    // 29 characters fit, 30 do not; 199 fit, 200 do not.
    std::string type29(29, 't');
    std::string message199(199, 'm');
    MDException longest(type29.c_str(), message199.c_str());
    EXPECT_EQ(longest.GetTypeName(), type29);
    EXPECT_EQ(longest.GetMessage(), message199);

    std::string type30(30, 't');
    std::string message200(200, 'm');
    MDException too_long(type30.c_str(), message200.c_str());
    EXPECT_STREQ(too_long.GetTypeName(), "Execption");
    EXPECT_STREQ(too_long.GetMessage(), "Unknown exception");
}
