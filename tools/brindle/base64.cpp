#include "brindle/base64.h"

#include <cstdint>

#include "brindle/tool_error.h"

namespace brindle::tool {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetOf(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

[[noreturn]] void Invalid(const std::string& why) {
    throw ToolError("invalid base64: " + why);
}

}  // namespace

std::string Base64Encode(const unsigned char* data, std::size_t length) {
    std::string text;
    text.reserve((length + 2) / 3 * 4);
    for (std::size_t i = 0; i < length; i += 3) {
        const std::size_t left = length - i;
        uint32_t group = static_cast<uint32_t>(data[i]) << 16;
        if (left > 1) {
            group |= static_cast<uint32_t>(data[i + 1]) << 8;
        }
        if (left > 2) {
            group |= data[i + 2];
        }
        text += kAlphabet[(group >> 18) & 63];
        text += kAlphabet[(group >> 12) & 63];
        text += left > 1 ? kAlphabet[(group >> 6) & 63] : '=';
        text += left > 2 ? kAlphabet[group & 63] : '=';
    }
    return text;
}

std::vector<unsigned char> Base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        Invalid("length " + std::to_string(text.size()) + " is not a multiple of 4");
    }
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int padding = 0;
        uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            if (c == '=' && last && j >= 2) {
                ++padding;
                group <<= 6;
                continue;
            }
            const int sextet = SextetOf(c);
            if (sextet < 0 || padding > 0) {
                Invalid("unexpected character at offset " + std::to_string(i + j));
            }
            group = (group << 6) | static_cast<uint32_t>(sextet);
        }
        const uint32_t unused_mask = padding == 2 ? 0xFFFF : padding == 1 ? 0xFF : 0;
        if ((group & unused_mask) != 0) {
            Invalid("non-zero bits after the last byte");
        }
        bytes.push_back(static_cast<unsigned char>(group >> 16));
        if (padding < 2) {
            bytes.push_back(static_cast<unsigned char>(group >> 8));
        }
        if (padding < 1) {
            bytes.push_back(static_cast<unsigned char>(group));
        }
    }
    return bytes;
}

}  // namespace brindle::tool
