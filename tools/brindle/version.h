#pragma once

#include <string>

namespace brindle::tool {

// "brindle <tool version>" and the version and file of the shared library the tool runs
// with, which may be another build than the one it was made with.
std::string VersionText();

}  // namespace brindle::tool
