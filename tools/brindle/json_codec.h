#pragma once

#include <string>
#include <string_view>

#include "brindle/dump_document.h"

namespace brindle::tool {

// The text dump format, JSON:
//
//   {"brindle_dump": 1, "at": ["App", "net"], "keys": [KEY...]}
//   KEY:      {"name": TEXT, "hidden": true, "readonly": true,
//              "properties": [PROPERTY...], "keys": [KEY...]}
//   PROPERTY: {"name": TEXT, "type": "int", "value": 8080}
//
// "at" names the key the listed keys sit below (empty: they are main keys, and only they
// carry "hidden" and "readonly", written when true). A TEXT is a JSON string, or
// {"base64": "..."} for bytes that are not UTF-8. Values by type: empty has none; string a
// TEXT; short, int, int64 and byte a JSON integer; double and float a number (or "nan",
// "inf", "-inf") plus "bits", the IEEE bit pattern in hex, which wins on reading; binary a
// "base64" field; datetime the second count as "value" plus "utc", its readable UTC form.
// Every value reads back bit for bit.

// The deepest nesting of keys a document holds: its listed keys are level 1 ("at" does not
// count). Deeper nesting than any configuration needs; the bound keeps every recursive step
// of writing and reading a dump within the stack. `dump` refuses what `load` would.
constexpr int kMaxDumpDepth = 1000;
// "keys nested more than 1000 levels deep", the words of both refusals.
std::string NestingFault();

std::string DocumentToJson(const DumpDocument& document);

// Reads and checks a whole document: text that is not JSON, fields given twice, wrong JSON
// types, unknown fields, numbers that do not fit their type, bad base64, malformed dates,
// invalid or duplicate names and keys nested deeper than kMaxDumpDepth are ToolErrors that
// say where in the file the fault is.
DumpDocument DocumentFromJson(std::string_view text);

}  // namespace brindle::tool
