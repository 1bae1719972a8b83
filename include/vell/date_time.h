#pragma once

#include <cstdint>
#include <string>

#include "brindle_export.h"

namespace vell {

// A length of time in whole seconds; never negative.
class BRN_EXPORT TimeSpan {
public:
    TimeSpan() = default;
    explicit TimeSpan(int64_t seconds) : seconds_(seconds < 0 ? 0 : seconds) {}
    // days * 86400 + hours * 3600 + minutes * 60 + seconds, computed in 32 bits (wrapping)
    // and widened with its sign, so a span built this way stays below 2^31 seconds.
    TimeSpan(int days, int hours, int minutes, int seconds);

    int64_t Count() const { return seconds_; }
    uint64_t TotalDays() const { return Unsigned() / 86400; }
    uint64_t TotalHours() const { return Unsigned() / 3600; }
    uint64_t TotalMinutes() const { return Unsigned() / 60; }
    uint64_t Hours() const { return (Unsigned() % 86400) / 3600; }
    uint64_t Minutes() const { return (Unsigned() % 3600) / 60; }
    uint64_t Seconds() const { return Unsigned() % 60; }

    TimeSpan operator+(TimeSpan other) const { return TimeSpan(seconds_ + other.seconds_); }
    TimeSpan operator-(TimeSpan other) const { return TimeSpan(seconds_ - other.seconds_); }
    TimeSpan& operator+=(TimeSpan other) { return *this = *this + other; }
    TimeSpan& operator-=(TimeSpan other) { return *this = *this - other; }
    bool operator==(TimeSpan other) const { return seconds_ == other.seconds_; }
    bool operator!=(TimeSpan other) const { return seconds_ != other.seconds_; }
    bool operator<(TimeSpan other) const { return seconds_ < other.seconds_; }
    bool operator>(TimeSpan other) const { return seconds_ > other.seconds_; }
    bool operator<=(TimeSpan other) const { return seconds_ <= other.seconds_; }
    bool operator>=(TimeSpan other) const { return seconds_ >= other.seconds_; }

private:
    uint64_t Unsigned() const { return static_cast<uint64_t>(seconds_); }
    int64_t seconds_ = 0;
};

// A point in time: seconds since 1970-01-01 00:00:00 UTC; never negative. Calendar fields
// are read in local time.
class BRN_EXPORT DateTime {
public:
    DateTime() = default;
    explicit DateTime(int64_t seconds) : seconds_(seconds < 0 ? 0 : seconds) {}
    // Local calendar fields. Out-of-range fields are replaced first: a year before 1970 by
    // 1970, a month outside 1-12 by 1, a day outside 1-31 by 1, an hour outside 0-23 by 1,
    // a minute or second outside 0-59 by 0.
    DateTime(int year, int month, int day, int hour, int minute, int second);

    static DateTime Now();

    int64_t Count() const { return seconds_; }
    // Local calendar fields; 0 when the count cannot be converted.
    int Year() const;
    int Month() const;  // 1-12
    int Day() const;    // 1-31
    int Hour() const;
    int Minute() const;
    int Second() const;
    int DayOfWeek() const;  // 0 is Sunday
    int DayOfYear() const;  // 0 is 1 January
    // Local time as "YYYY-MM-DD hh:mm:ss".
    std::string Format() const;

    // The difference, or 0 when this is the earlier time.
    TimeSpan operator-(DateTime other) const {
        return TimeSpan(seconds_ > other.seconds_ ? seconds_ - other.seconds_ : 0);
    }
    DateTime operator+(TimeSpan span) const { return DateTime(seconds_ + span.Count()); }
    DateTime operator-(TimeSpan span) const { return DateTime(seconds_ - span.Count()); }
    DateTime& operator+=(TimeSpan span) { return *this = *this + span; }
    DateTime& operator-=(TimeSpan span) { return *this = *this - span; }
    bool operator==(DateTime other) const { return seconds_ == other.seconds_; }
    bool operator!=(DateTime other) const { return seconds_ != other.seconds_; }
    bool operator<(DateTime other) const { return seconds_ < other.seconds_; }
    bool operator>(DateTime other) const { return seconds_ > other.seconds_; }
    bool operator<=(DateTime other) const { return seconds_ <= other.seconds_; }
    bool operator>=(DateTime other) const { return seconds_ >= other.seconds_; }

private:
    int64_t seconds_ = 0;
};

}  // namespace vell
