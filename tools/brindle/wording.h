#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brindle::tool {

// How the tool shows text it did not write itself (names, values, the user's input) and how
// it words counts and types.

// A name or value as one line of a listing: control characters and bytes that are not
// UTF-8 escaped (\n, \t, \\, \xNN), and cut with "..." after `limit` characters (0: no
// limit). A character is one UTF-8 character, or one escape as it is shown.
std::string DisplayText(std::string_view text, std::size_t limit);

// The characters of a text DisplayText returned, for aligning columns.
std::size_t ShownWidth(std::string_view shown);

// Text the user or a file gave, quoted for an error message: escaped as in listings and cut
// after 40 characters, so that raw bytes never reach the terminal.
std::string QuotedInput(std::string_view text);

// "1 key", "2 keys"; `plural` defaults to the singular with an "s".
std::string Counted(std::size_t count, const std::string& singular, const std::string& plural = "");

// "a short", "an int": a word with its indefinite article.
std::string WithArticle(const std::string& word);

}  // namespace brindle::tool
