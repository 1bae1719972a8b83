#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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
    return DatabaseAccess{DatabasePath(), create, wait_seconds, OpenMode::kShared};
}

DatabaseAccess ToolContext::ReadAccess() const {
    return DatabaseAccess{DatabasePath(), false, wait_seconds, OpenMode::kReadOnly};
}

DatabaseAccess ToolContext::ExclusiveAccess() const {
    return DatabaseAccess{DatabasePath(), false, wait_seconds, OpenMode::kExclusive};
}

std::string ReadInput(const std::string& file) {
    const bool standard_input = file == "-";
    const int fd = standard_input ? STDIN_FILENO : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const std::string name = standard_input ? "standard input" : "'" + file + "'";
    if (fd < 0) {
        throw ToolError("cannot read " + name + ": " + std::strerror(errno));
    }
    std::string text;
    char buffer[1 << 16];
    int error = 0;
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    if (!standard_input) {
        ::close(fd);
    }
    if (error != 0) {
        throw ToolError("cannot read " + name + ": " + std::strerror(error));
    }
    return text;
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
