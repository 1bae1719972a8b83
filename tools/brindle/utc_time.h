#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brindle::tool {

// Date-times are stored as seconds since 1970-01-01 00:00:00 UTC. The tool shows and reads
// them in UTC, never in local time, so a dump reads back the same on every machine.

// "YYYY-MM-DDThh:mm:ssZ"; nothing for counts past the year 9999.
std::optional<std::string> FormatUtc(int64_t seconds);

// Accepts "YYYY-MM-DDThh:mm:ssZ", the same with a space for the T and without the Z, and
// "YYYY-MM-DD" (midnight). Every field is checked: a month outside 1-12, a day past the end of
// its month (leap years included), an hour past 23, a minute or second past 59, a year before
// 1970 or a stray character is a ToolError.
int64_t ParseUtc(std::string_view text);

}  // namespace brindle::tool
