#pragma once

#include <initializer_list>
#include <string>

#include <nlohmann/json.hpp>

#include "brindle/dump_document.h"

namespace brindle::tool {

using Json = nlohmann::ordered_json;

// Pieces of the dump format shared by the document reader and writer (see json_codec.h).
// `where` names the place in the file for error messages, as "keys[0] 'App' > properties[1]".

// A byte string as a JSON string when it is UTF-8, else as {"base64": "..."}.
Json TextToJson(const std::string& bytes);
std::string TextFromJson(const Json& json, const std::string& where);
// A key or property name: 1 to 255 bytes without NUL.
std::string NameFromJson(const Json& json, const std::string& where);

Json PropertyToJson(const PropertyEntry& property);
PropertyEntry PropertyFromJson(const Json& json, const std::string& where);

// ToolError unless json is an object whose fields are all in `allowed`.
void CheckFields(const Json& json, std::initializer_list<const char*> allowed,
                 const std::string& where);
[[noreturn]] void JsonFault(const std::string& where, const std::string& what);

bool IsUtf8(const std::string& bytes);
// Length of the well-formed UTF-8 character at bytes[at] (at < size), 0 when it is not one.
std::size_t Utf8Length(const std::string& bytes, std::size_t at);

}  // namespace brindle::tool
