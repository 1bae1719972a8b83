#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vell/variable_data.h"

namespace brindle::tool {

// The ten value types by the names the tool uses on the command line and in dumps:
// empty, string, short, int, int64, byte, double, float, binary, datetime.
const char* TypeName(int type);
// Throws ToolError listing the valid names.
vell::VariableType ParseTypeName(std::string_view name);

// Strict parsing of one value from text, as `set` takes it. Integers are decimal and must fit
// their type; doubles and floats are decimal (or nan, inf, -inf) and must fit theirs; binary is
// base64; a date-time is UTC text (see ParseUtc) or "@" and a second count; empty takes only
// the empty text. Anything else is a ToolError, never a truncation.
vell::VariableData ParseValue(vell::VariableType type, std::string_view text);

// The value as `get` prints it, in the form ParseValue reads back to the same value.
std::string FormatValue(const vell::VariableData& value);

// Shortest decimal text that reads back to the same bits; nan, inf and -inf otherwise.
std::string FormatDouble(double value);
std::string FormatFloat(float value);

// Whole decimal numbers in [low, high]; `type` names the target in the error message.
int64_t ParseInteger(std::string_view text, int64_t low, int64_t high, const char* type);
double ParseDouble(std::string_view text);
float ParseFloat(std::string_view text);

// The value's binary block as bytes (empty for other types).
std::string BinaryBytes(const vell::VariableData& value);

}  // namespace brindle::tool
