#pragma once

#include <string>
#include <vector>

namespace brindle::tool {

// One result code of the exports with its constant's name and a sentence a user can act on.
// The table is the only place these texts live: the tool prints them, and `brindle codes
// --markdown` renders the README's table from it (a test keeps the two in step).
struct ResultCode {
    int code;
    const char* name;
    const char* message;
};

const std::vector<ResultCode>& ResultCodes();

// The message of a code; codes outside the table get a generic text naming the number.
std::string ResultMessage(int code);

// The table as a Markdown table with a header row.
std::string ResultCodesMarkdown();

}  // namespace brindle::tool
