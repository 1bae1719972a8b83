# Writes OUTPUT, a C++ file defining brindle::tool::PageAssets() with the bytes of every file
# given in ASSETS (a ;-list of paths below ROOT), so that the page's files are part of the
# binary and nothing is fetched at run time. Run with cmake -P.
set(entries "")
set(arrays "")
set(index 0)
foreach(asset IN LISTS ASSETS)
    file(READ "${ROOT}/${asset}" hex HEX)
    string(LENGTH "${hex}" hex_length)
    math(EXPR size "${hex_length} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
        "\\1\n" bytes "${bytes}")
    get_filename_component(extension "${asset}" LAST_EXT)
    if(extension STREQUAL ".html")
        set(type "text/html; charset=utf-8")
    elseif(extension STREQUAL ".css")
        set(type "text/css; charset=utf-8")
    elseif(extension STREQUAL ".js")
        set(type "text/javascript; charset=utf-8")
    elseif(extension STREQUAL ".svg")
        set(type "image/svg+xml")
    else()
        set(type "application/octet-stream")
    endif()
    string(APPEND arrays "const unsigned char kAsset${index}[] = {\n${bytes}0};\n")
    string(APPEND entries "        {\"/${asset}\", \"${type}\", kAsset${index}, ${size}},\n")
    math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Generated from tools/serve_page by cmake/EmbedAssets.cmake; do not edit.
#include \"brindle/serve.h\"

namespace brindle::tool {
namespace {
${arrays}}  // namespace

const std::vector<Asset>& PageAssets() {
    static const std::vector<Asset> assets{
${entries}    };
    return assets;
}

}  // namespace brindle::tool
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
