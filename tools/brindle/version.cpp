#include "brindle/version.h"

#include <dlfcn.h>

#include <filesystem>

#include "brindle.h"

namespace brindle::tool {
namespace {

// The library exports no version; its file name carries the full one
// (libbrindle.so.MAJOR.MINOR.PATCH).
std::string LibraryVersion(std::string& file) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&BRN_OpenFile), &info) == 0 || info.dli_fname == nullptr) {
        return "unknown";
    }
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(info.dli_fname, error);
    file = error ? info.dli_fname : real.string();
    const std::string name = std::filesystem::path(file).filename().string();
    const std::string stem = "libbrindle.so.";
    return name.rfind(stem, 0) == 0 ? name.substr(stem.size()) : "unknown";
}

}  // namespace

std::string VersionText() {
    std::string file;
    const std::string library = LibraryVersion(file);
    return std::string("brindle ") + BRINDLE_TOOL_VERSION + "\nlibrary " + library +
           (file.empty() ? "" : " (" + file + ")") + "\n";
}

}  // namespace brindle::tool
