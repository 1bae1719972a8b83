#include "vell/file_find.h"

#include <glob.h>

#include <filesystem>
#include <system_error>
#include <vector>

namespace vell {
namespace {

bool HasWildcards(const std::string& pattern) {
    return pattern.find_first_of("*?") != std::string::npos;
}

// The pattern with every glob character but '*' and '?' escaped, so that only those two
// act as wildcards.
std::string EscapeForGlob(const std::string& pattern) {
    std::string escaped;
    escaped.reserve(pattern.size());
    for (char c : pattern) {
        if (c == '[' || c == ']' || c == '\\') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

// The paths the pattern names, in name order.
std::vector<std::string> Expand(const std::string& pattern) {
    if (!HasWildcards(pattern)) {
        return pattern.empty() ? std::vector<std::string>{} : std::vector<std::string>{pattern};
    }
    std::vector<std::string> found;
    glob_t result{};
    if (glob(EscapeForGlob(pattern).c_str(), 0, nullptr, &result) == 0) {
        for (size_t i = 0; i < result.gl_pathc; ++i) {
            found.emplace_back(result.gl_pathv[i]);
        }
    }
    globfree(&result);
    return found;
}

std::optional<FoundFile> Describe(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) {
        status = fs::symlink_status(path, error);
        if (!fs::exists(status)) {
            return std::nullopt;
        }
    }
    FoundFile found{path, 0, fs::is_directory(status)};
    if (fs::is_regular_file(status)) {
        const uintmax_t size = fs::file_size(path, error);
        found.size = error ? 0 : static_cast<uint64_t>(size);
    }
    return found;
}

}  // namespace

std::optional<FoundFile> FindFirstFile(const std::string& pattern) {
    for (const std::string& path : Expand(pattern)) {
        if (std::optional<FoundFile> found = Describe(path)) {
            return found;
        }
    }
    return std::nullopt;
}

}  // namespace vell
