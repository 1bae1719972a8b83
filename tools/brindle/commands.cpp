#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>

#include "brindle/commands.h"
#include "brindle/json_property.h"
#include "brindle/result_codes.h"
#include "brindle/tool_error.h"

namespace brindle::tool {

std::string ToolContext::DatabasePath() const {
    if (!database_option.empty()) {
        return database_option;
    }
    if (database_flag != nullptr && database_flag->count() > 0) {
        throw UsageError("--db needs the base path of a database");
    }
    const char* from_environment = std::getenv("BRINDLE_DB");
    if (from_environment != nullptr && *from_environment != '\0') {
        return from_environment;
    }
    return kDefaultDatabasePath;
}

DatabaseAccess ToolContext::Access(bool create) const {
    return DatabaseAccess{DatabasePath(), create, wait_seconds};
}

std::string ReadInput(const std::string& file) {
    if (file == "-") {
        return std::string(std::istreambuf_iterator<char>(std::cin),
                           std::istreambuf_iterator<char>());
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw ToolError("cannot read '" + file + "'");
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string DisplayText(const std::string& text, std::size_t limit) {
    std::string shown;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = Utf8Length(text, i);
        if (byte == '\n') {
            shown += "\\n";
        } else if (byte == '\t') {
            shown += "\\t";
        } else if (byte == '\\') {
            shown += "\\\\";
        } else if (length == 0 || byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown.append(text, i, length);
        }
        i += length == 0 ? 1 : length;
        if (limit > 0 && shown.size() > limit) {
            shown += "...";
            break;
        }
    }
    return shown;
}

void AddCodesCommand(CLI::App& app, ToolContext& context) {
    CLI::App* codes = app.add_subcommand("codes", "List the library's result codes and messages");
    auto markdown = std::make_shared<bool>(false);
    codes->add_flag("--markdown", *markdown, "Print a Markdown table");
    codes->callback([markdown, &context] {
        if (*markdown) {
            *context.out << ResultCodesMarkdown();
            return;
        }
        for (const ResultCode& entry : ResultCodes()) {
            *context.out << entry.code << '\t' << entry.name << '\t' << entry.message << '\n';
        }
    });
}

}  // namespace brindle::tool
