#include "brindle/wording.h"

#include <cstdio>

#include "brindle/json_property.h"

namespace brindle::tool {
namespace {

constexpr std::size_t kQuotedInputLength = 40;

// The shown form of the character at text[at], and how many bytes it takes.
std::string ShownCharacter(std::string_view text, std::size_t at, std::size_t& length) {
    const auto byte = static_cast<unsigned char>(text[at]);
    length = Utf8Length(std::string(text.substr(at, 4)), 0);
    if (byte == '\n') {
        return "\\n";
    }
    if (byte == '\t') {
        return "\\t";
    }
    if (byte == '\\') {
        return "\\\\";
    }
    if (length == 0 || byte < 0x20 || byte == 0x7F) {
        length = 1;
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        return escaped;
    }
    return std::string(text.substr(at, length));
}

}  // namespace

std::string DisplayText(std::string_view text, std::size_t limit) {
    std::string shown;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 0;
        const std::string character = ShownCharacter(text, i, length);
        const std::size_t width = character.size() > 1 && character[0] == '\\'
                                      ? character.size()
                                      : 1;  // an escape shows as its characters
        if (limit > 0 && characters + width > limit) {
            shown += "...";
            break;
        }
        shown += character;
        characters += width;
        i += length;
    }
    return shown;
}

std::size_t ShownWidth(std::string_view shown) {
    std::size_t width = 0;
    for (char byte : shown) {
        // Every byte but a UTF-8 continuation byte starts a character.
        width += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
    }
    return width;
}

std::string QuotedInput(std::string_view text) {
    return "'" + DisplayText(text, kQuotedInputLength) + "'";
}

std::string Counted(std::size_t count, const std::string& singular, const std::string& plural) {
    const std::string& noun = count == 1 ? singular : plural.empty() ? singular + "s" : plural;
    return std::to_string(count) + " " + noun;
}

std::string WithArticle(const std::string& word) {
    const bool vowel = !word.empty() && std::string("aeiou").find(word[0]) != std::string::npos;
    return (vowel ? "an " : "a ") + word;
}

}  // namespace brindle::tool
