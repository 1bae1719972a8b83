#include <cstdio>
#include <cstdlib>
#include <memory>

#include "brindle/commands.h"
#include "brindle/result_codes.h"

namespace brindle::tool {

std::string ToolContext::DatabasePath() const {
    if (!database_option.empty()) {
        return database_option;
    }
    const char* from_environment = std::getenv("BRINDLE_DB");
    if (from_environment != nullptr && *from_environment != '\0') {
        return from_environment;
    }
    return kDefaultDatabasePath;
}

std::string DisplayText(const std::string& text, std::size_t limit) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
        if (limit > 0 && shown.size() > limit) {
            shown.resize(limit);
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
