#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "brindle_codes.h"

namespace brindle::tool {

// A key as the user names it on the command line: the main key, then one name per level.
//
// Levels are separated by backslashes, the separator of the library's own key paths. Since
// shells make backslashes awkward, `/` separates levels too, but only in an address that
// holds no backslash at all: "App/net/ports" and "App\net\ports" name the same key, while
// "App\a/b" names the key "a/b" below App. One leading and one trailing separator are
// ignored; an empty address names the database itself (the list of main keys).
class KeyAddress {
public:
    KeyAddress() = default;
    explicit KeyAddress(std::vector<std::string> names) : names_(std::move(names)) {}

    // Throws ToolError for an empty level ("App//x") or a level of 256 characters or more.
    static KeyAddress Parse(std::string_view text);

    bool IsDatabase() const { return names_.empty(); }
    bool IsMainKey() const { return names_.size() == 1; }
    const std::string& MainKey() const { return names_.front(); }
    const std::string& Leaf() const { return names_.back(); }
    const std::vector<std::string>& Names() const { return names_; }

    KeyAddress Child(const std::string& name) const;
    KeyAddress Parent() const;

    // The address as the user would type it: levels joined by `/`, or by backslashes when a
    // name holds a `/`.
    std::string ToString() const;

private:
    std::vector<std::string> names_;
};

}  // namespace brindle::tool
