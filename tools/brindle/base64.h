#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brindle::tool {

// Standard base64 (RFC 4648 alphabet, `=` padding).
std::string Base64Encode(const unsigned char* data, std::size_t length);

// Strict decoding: the length is a multiple of four, only alphabet characters, padding only
// at the end, and the unused bits of the last group zero, so every byte string has exactly one
// accepted spelling. Throws ToolError naming the fault.
std::vector<unsigned char> Base64Decode(std::string_view text);

}  // namespace brindle::tool
