#include "vell/date_time.h"

#include <cstdio>
#include <ctime>

namespace vell {
namespace {

// Local calendar fields of a count; false when the C library cannot convert it.
bool LocalFields(int64_t seconds, std::tm& fields) {
    std::time_t value = static_cast<std::time_t>(seconds);
    return localtime_r(&value, &fields) != nullptr;
}

int Field(int64_t seconds, int std::tm::*member, int offset) {
    std::tm fields{};
    return LocalFields(seconds, fields) ? fields.*member + offset : 0;
}

int InRangeOr(int value, int low, int high, int fallback) {
    return value < low || value > high ? fallback : value;
}

}  // namespace

TimeSpan::TimeSpan(int days, int hours, int minutes, int seconds) {
    uint32_t total = static_cast<uint32_t>(days) * 86400u + static_cast<uint32_t>(hours) * 3600u +
                     static_cast<uint32_t>(minutes) * 60u + static_cast<uint32_t>(seconds);
    int64_t widened = static_cast<int32_t>(total);
    seconds_ = widened < 0 ? 0 : widened;
}

DateTime::DateTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm fields{};
    fields.tm_year = (year < 1970 ? 1970 : year) - 1900;
    fields.tm_mon = InRangeOr(month, 1, 12, 1) - 1;
    fields.tm_mday = InRangeOr(day, 1, 31, 1);
    fields.tm_hour = InRangeOr(hour, 0, 23, 1);
    fields.tm_min = InRangeOr(minute, 0, 59, 0);
    fields.tm_sec = InRangeOr(second, 0, 59, 0);
    fields.tm_isdst = -1;
    std::time_t value = std::mktime(&fields);
    seconds_ = value < 0 ? 0 : static_cast<int64_t>(value);
}

DateTime DateTime::Now() {
    return DateTime(static_cast<int64_t>(std::time(nullptr)));
}

int DateTime::Year() const {
    return Field(seconds_, &std::tm::tm_year, 1900);
}
int DateTime::Month() const {
    return Field(seconds_, &std::tm::tm_mon, 1);
}
int DateTime::Day() const {
    return Field(seconds_, &std::tm::tm_mday, 0);
}
int DateTime::Hour() const {
    return Field(seconds_, &std::tm::tm_hour, 0);
}
int DateTime::Minute() const {
    return Field(seconds_, &std::tm::tm_min, 0);
}
int DateTime::Second() const {
    return Field(seconds_, &std::tm::tm_sec, 0);
}
int DateTime::DayOfWeek() const {
    return Field(seconds_, &std::tm::tm_wday, 0);
}
int DateTime::DayOfYear() const {
    return Field(seconds_, &std::tm::tm_yday, 0);
}

std::string DateTime::Format() const {
    std::tm fields{};
    if (!LocalFields(seconds_, fields)) {
        fields = std::tm{};
    }
    char text[50];
    std::snprintf(text, sizeof(text), "%d-%02d-%02d %02d:%02d:%02d", fields.tm_year + 1900,
                  fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}

}  // namespace vell
