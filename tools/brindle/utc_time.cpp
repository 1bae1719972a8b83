#include "brindle/utc_time.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "brindle/tool_error.h"
#include "brindle/wording.h"

namespace brindle::tool {
namespace {

using std::chrono::sys_days;
using std::chrono::year_month_day;

constexpr int64_t kSecondsPerDay = 86400;
// The last day FormatUtc shows; later counts have no four-digit year.
constexpr sys_days kLastShownDay =
    std::chrono::year{9999} / std::chrono::December / std::chrono::day{31};

// Reads exactly `width` digits at `pos`; false when any of them is not a digit.
bool ReadDigits(std::string_view text, std::size_t pos, std::size_t width, unsigned& value) {
    if (pos + width > text.size()) {
        return false;
    }
    const char* end = text.data() + pos + width;
    const auto [stop, error] = std::from_chars(text.data() + pos, end, value);
    return error == std::errc() && stop == end;
}

[[noreturn]] void Malformed(std::string_view text, const std::string& why) {
    throw ToolError("malformed date-time " + QuotedInput(text) + ": " + why +
                    " (expected YYYY-MM-DDThh:mm:ssZ, in UTC)");
}

}  // namespace

std::optional<std::string> FormatUtc(int64_t seconds) {
    if (seconds < 0) {
        return std::nullopt;
    }
    const std::chrono::days days_since_epoch(seconds / kSecondsPerDay);
    if (days_since_epoch > kLastShownDay.time_since_epoch()) {
        return std::nullopt;
    }
    const year_month_day date{sys_days(days_since_epoch)};
    const std::chrono::hh_mm_ss time_of_day{std::chrono::seconds(seconds % kSecondsPerDay)};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time_of_day.hours().count()),
                  static_cast<int>(time_of_day.minutes().count()),
                  static_cast<int>(time_of_day.seconds().count()));
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
    const year_month_day date{std::chrono::year(static_cast<int>(year)), std::chrono::month(month),
                              std::chrono::day(day)};
    if (!date.ok()) {
        Malformed(text, "day " + std::to_string(day) + " does not exist in that month");
    }
    if (hour > 23 || minute > 59 || second > 59) {
        Malformed(text, "the time of day is out of range");
    }
    return sys_days(date).time_since_epoch().count() * kSecondsPerDay + hour * 3600 + minute * 60 +
           second;
}

}  // namespace brindle::tool
