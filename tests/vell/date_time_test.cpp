#include "vell/date_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace vell {
namespace {

// Calendar tests read local time; pin the zone so they mean the same everywhere.
class DateTimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(DateTimeTest, OutOfRangeFieldsAreReplacedBeforeConversion) {
    DateTime before_epoch(1969, 12, 31, 23, 59, 59);
    EXPECT_EQ(before_epoch.Format(), "1970-12-31 23:59:59");
    // The hour falls back to 1, not 0.
    EXPECT_EQ(DateTime(2020, 13, 40, 24, 60, 60).Format(), "2020-01-01 01:00:00");
    const DateTime march(2009, 3, 5, 7, 8, 9);
    EXPECT_EQ(march.Format(), "2009-03-05 07:08:09");
    EXPECT_EQ(march.DayOfWeek(), 4);  // a Thursday
    EXPECT_EQ(march.DayOfYear(), 63);
}

// Spans are built in 32 bits, as hosts built them: a sum past 2^31 wraps negative. Every
// result below zero floors at zero.
TEST_F(DateTimeTest, ArithmeticFloorsAtZero) {
    EXPECT_EQ((DateTime(5) - DateTime(10)).Count(), 0);
    EXPECT_EQ((DateTime(10) - DateTime(5)).Count(), 5);
    EXPECT_EQ((DateTime(5) - TimeSpan(10)).Count(), 0);
    EXPECT_EQ(DateTime(-3).Count(), 0);
    DateTime moving(100);
    moving += TimeSpan(0, 0, 1, 0);
    EXPECT_EQ(moving.Count(), 160);
    EXPECT_EQ(TimeSpan(1, 2, 3, 4).TotalHours(), 26u);
    EXPECT_EQ(TimeSpan(30000, 0, 0, 0).Count(), 0);
    EXPECT_EQ((TimeSpan(3) - TimeSpan(5)).Count(), 0);
}

}  // namespace
}  // namespace vell
