#include "keys/key_paths.h"

namespace brindle {

bool SplitKeyPath(const std::string& path, std::vector<std::string>& parts) {
    parts.clear();
    if (path.empty()) {
        return false;
    }
    size_t separator = path.find('\\');
    if (separator == std::string::npos || separator == 0) {
        parts.push_back(path);
        return true;
    }
    size_t start = 0;
    while (separator != std::string::npos) {
        parts.push_back(path.substr(start, separator - start));
        start = separator + 1;
        separator = path.find('\\', start);
    }
    parts.push_back(path.substr(start));
    return true;
}

bool SplitDottedPath(const std::string& path, std::vector<std::string>& parts) {
    parts.clear();
    if (path.empty()) {
        return false;
    }
    size_t dot = path.find('.');
    if (dot == std::string::npos || dot == 0) {
        parts.push_back(path);
        return true;
    }
    while (dot != std::string::npos) {
        parts.push_back(path.substr(0, dot));
        dot = path.find('.', dot + 1);
    }
    parts.push_back(path);
    return true;
}

}  // namespace brindle
