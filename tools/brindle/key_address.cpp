#include "brindle/key_address.h"

#include "brindle/tool_error.h"

namespace brindle::tool {

KeyAddress KeyAddress::Parse(std::string_view text) {
    const char separator = text.find('\\') != std::string_view::npos ? '\\' : '/';
    if (!text.empty() && text.front() == separator) {
        text.remove_prefix(1);
    }
    if (!text.empty() && text.back() == separator) {
        text.remove_suffix(1);
    }
    std::vector<std::string> names;
    if (text.empty()) {
        return KeyAddress(std::move(names));
    }
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find(separator, start);
        std::string_view name =
            text.substr(start, end == std::string_view::npos ? text.size() - start : end - start);
        if (name.empty()) {
            throw ToolError("key address '" + std::string(text) + "' has an empty level");
        }
        if (name.size() > kMaxNameLength) {
            throw ToolError("key name '" + std::string(name.substr(0, 40)) +
                            "...' is longer than 255 characters");
        }
        names.emplace_back(name);
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return KeyAddress(std::move(names));
}

KeyAddress KeyAddress::Child(const std::string& name) const {
    std::vector<std::string> names = names_;
    names.push_back(name);
    return KeyAddress(std::move(names));
}

KeyAddress KeyAddress::Parent() const {
    std::vector<std::string> names = names_;
    if (!names.empty()) {
        names.pop_back();
    }
    return KeyAddress(std::move(names));
}

std::string KeyAddress::ToString() const {
    bool has_slash = false;
    for (const std::string& name : names_) {
        has_slash = has_slash || name.find('/') != std::string::npos;
    }
    const char separator = has_slash ? '\\' : '/';
    std::string text;
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (i > 0) {
            text += separator;
        }
        text += names_[i];
    }
    // A single name holding a `/` needs a backslash somewhere to be read back as one level;
    // a leading separator is ignored by Parse.
    if (has_slash && names_.size() == 1) {
        text.insert(0, 1, '\\');
    }
    return text;
}

}  // namespace brindle::tool
