#include "brindle/utc_time.h"

#include <cstdio>

#include "brindle/tool_error.h"

namespace brindle::tool {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date (the classic era-based algorithm).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

struct CivilDate {
    int64_t year;
    unsigned month;
    unsigned day;
};

CivilDate CivilFromDays(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned day_of_era = static_cast<unsigned>(days - era * 146097);
    const unsigned year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const unsigned day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned shifted_month = (5 * day_of_year + 2) / 153;
    const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    const int64_t year = static_cast<int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

bool IsLeapYear(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(int64_t year, unsigned month) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Reads exactly `width` digits at `pos`; false when any of them is not a digit.
bool ReadDigits(std::string_view text, std::size_t pos, std::size_t width, unsigned& value) {
    if (pos + width > text.size()) {
        return false;
    }
    value = 0;
    for (std::size_t i = pos; i < pos + width; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

[[noreturn]] void Malformed(std::string_view text, const std::string& why) {
    throw ToolError("malformed date-time '" + std::string(text) + "': " + why +
                    " (expected YYYY-MM-DDThh:mm:ssZ, in UTC)");
}

}  // namespace

std::optional<std::string> FormatUtc(int64_t seconds) {
    if (seconds < 0) {
        return std::nullopt;
    }
    const CivilDate date = CivilFromDays(seconds / kSecondsPerDay);
    if (date.year > 9999) {
        return std::nullopt;
    }
    const int64_t in_day = seconds % kSecondsPerDay;
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year),
                  date.month, date.day, static_cast<int>(in_day / 3600),
                  static_cast<int>(in_day / 60 % 60), static_cast<int>(in_day % 60));
    return std::string(text);
}

int64_t ParseUtc(std::string_view text) {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!ReadDigits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' ||
        !ReadDigits(text, 5, 2, month) || text[7] != '-' || !ReadDigits(text, 8, 2, day)) {
        Malformed(text, "the date is not YYYY-MM-DD");
    }
    std::string_view rest = text.substr(10);
    if (!rest.empty()) {
        if (rest.back() == 'Z') {
            rest.remove_suffix(1);
        }
        if (rest.size() != 9 || (rest[0] != 'T' && rest[0] != ' ') ||
            !ReadDigits(rest, 1, 2, hour) || rest[3] != ':' || !ReadDigits(rest, 4, 2, minute) ||
            rest[6] != ':' || !ReadDigits(rest, 7, 2, second)) {
            Malformed(text, "the time is not Thh:mm:ss");
        }
    }
    if (year < 1970) {
        Malformed(text, "years before 1970 cannot be stored");
    }
    if (month < 1 || month > 12) {
        Malformed(text, "month " + std::to_string(month) + " does not exist");
    }
    if (day < 1 || day > DaysInMonth(year, month)) {
        Malformed(text, "day " + std::to_string(day) + " does not exist in that month");
    }
    if (hour > 23 || minute > 59 || second > 59) {
        Malformed(text, "the time of day is out of range");
    }
    return DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
}

}  // namespace brindle::tool
