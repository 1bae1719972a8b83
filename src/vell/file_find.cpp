#include "vell/file_find.h"

#include <glob.h>
#include <sys/stat.h>

#include <utility>

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

std::vector<std::string> Expand(const std::string& pattern) {
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

}  // namespace

bool FileFind::FindFirst(std::string pattern) {
    Close();
    std::vector<std::string> matches;
    if (HasWildcards(pattern)) {
        matches = Expand(pattern);
    } else if (!pattern.empty()) {
        matches.push_back(pattern);
    }
    for (size_t i = 0; i < matches.size(); ++i) {
        if (Load(matches[i])) {
            matches_ = std::move(matches);
            current_ = i;
            open_ = true;
            path_ = std::move(pattern);
            return true;
        }
    }
    return false;
}

bool FileFind::FindNext() {
    if (!open_) {
        return false;
    }
    while (current_ + 1 < matches_.size()) {
        if (Load(matches_[++current_])) {
            return true;
        }
    }
    return false;
}

void FileFind::Close() {
    open_ = false;
    matches_.clear();
    current_ = 0;
}

// Reads what `path` names into the current match. A symbolic link that leads nowhere still
// counts: something is there.
bool FileFind::Load(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 && lstat(path.c_str(), &info) != 0) {
        return false;
    }
    size_ = S_ISDIR(info.st_mode) ? 0 : static_cast<uint64_t>(info.st_size);
    attributes_ = S_ISDIR(info.st_mode) ? kAttributeDirectory : kAttributeNormal;
    last_write_ = static_cast<int64_t>(info.st_mtime);
    return true;
}

unsigned int FileFind::GetSize(unsigned int& high) const {
    high = static_cast<unsigned int>(size_ >> 32);
    return static_cast<unsigned int>(size_);
}

std::string FileFind::GetName() const {
    if (!open_ || current_ >= matches_.size()) {
        return {};
    }
    const std::string& full = matches_[current_];
    std::string::size_type end = full.find_last_not_of('/');
    if (end == std::string::npos) {
        return full.empty() ? full : "/";
    }
    std::string::size_type start = full.rfind('/', end);
    start = start == std::string::npos ? 0 : start + 1;
    return full.substr(start, end + 1 - start);
}

bool FileFind::IsDots() const {
    std::string name = GetName();
    return name == "." || name == "..";
}

}  // namespace vell
