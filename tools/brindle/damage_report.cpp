// What is wrong with a database's data files, for the one line the tool prints when the
// library fails on them. Only reads the files; needs the pool's head layout, so it lives in
// the integrity module.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <vector>

#include "api/status_codes.h"
#include "brindle.h"
#include "brindle/integrity.h"
#include "brindle/result_codes.h"
#include "brindle/tool_error.h"
#include "keys/key_paths.h"
#include "pool/pool_head.h"
#include "transfer/image_reader.h"

namespace brindle::tool {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxDataFiles = 300;

std::string ReadBytes(const std::string& file, std::size_t count) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes(count, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

uint64_t SizeOf(const std::string& file) {
    std::error_code error;
    const uint64_t size = fs::file_size(file, error);
    return error ? 0 : size;
}

// The fault of a data file's head, or empty when it reads as one.
std::string HeadFault(const std::string& file, PoolHead& head) {
    const uint64_t size = SizeOf(file);
    if (size == 0) {
        return file + " is empty (0 bytes)";
    }
    if (size < kPoolHeadSize) {
        return file + " is " + std::to_string(size) +
               " bytes, too short for the head of a data file";
    }
    const std::string bytes = ReadBytes(file, kPoolHeadSize);
    head = PoolHead::Decode(reinterpret_cast<const uint8_t*>(bytes.data()));
    if (head.head_size != kPoolHeadSize || head.page_size == 0 ||
        head.head_area_size != head.page_size) {
        return file + " does not begin with the head of a Brindle data file";
    }
    if (head.version != kPoolVersion) {
        return file + " has a head of an unknown format version";
    }
    return "";
}

}  // namespace

std::string ExportFileMainKey(const std::string& file) {
    const std::string what = "cannot import " + file;
    std::error_code error;
    if (!fs::exists(file, error)) {
        CheckResult(BRN_ERR_FILE_NOT_FOUND, what);
    }
    const std::string image = ReadBytes(file, SizeOf(file));
    if (image.empty()) {
        CheckResult(BRN_ERR_IMPORT_FILE, what);
    }
    std::string key_path;
    CheckResult(ToCode(CheckImageHeader(reinterpret_cast<const uint8_t*>(image.data()),
                                        image.size(), key_path)),
                what);
    std::vector<std::string> levels;
    if (!SplitKeyPath(key_path, levels) || levels.empty()) {
        CheckResult(BRN_ERR_IMPORT_PATH, what);
    }
    return levels.front();
}

std::string DescribeDamage(const std::string& base, const std::vector<std::string>& library_lines,
                           bool& mendable) {
    mendable = false;
    const std::string first = DataFileName(base, 1);
    std::error_code error;
    if (!fs::exists(first, error)) {
        return "";
    }
    PoolHead head;
    if (std::string fault = HeadFault(first, head); !fault.empty()) {
        return "its first data file " + fault;
    }
    const int files = static_cast<int>(std::min<uint32_t>(head.file_count, kMaxDataFiles));
    for (int number = 2; number <= files; ++number) {
        const std::string file = DataFileName(base, number);
        if (!fs::exists(file, error)) {
            return "its data file " + file + " is missing (the head of " + first + " counts " +
                   std::to_string(head.file_count) + " files)";
        }
        PoolHead copy;
        if (std::string fault = HeadFault(file, copy); !fault.empty()) {
            return "its data file " + fault;
        }
    }
    // A page the library could not read, named by one of its lines.
    static const std::regex kUnreadPage(R"(findex:(\d+),pos:(\d+))");
    for (const std::string& line : library_lines) {
        std::smatch match;
        if (!std::regex_search(line, match, kUnreadPage)) {
            continue;
        }
        const std::string file = DataFileName(base, std::stoi(match[1]));
        const uint64_t position = std::stoull(match[2]);
        const uint64_t size = SizeOf(file);
        if (size < position + head.page_size) {
            return "its data file " + file + " ends at byte " + std::to_string(size) +
                   ", before the page it holds at byte " + std::to_string(position);
        }
        mendable = true;
        return "the page at byte " + std::to_string(position) + " of its data file " + file +
               " could not be read";
    }
    // With no journal to replay, the last page the head counts lies in the files.
    int file = 0;
    uint32_t position = 0;
    if (!fs::exists(base + ".journal", error) && head.page_count > 0 &&
        GetPagePosition(head, head.page_count, file, position)) {
        const std::string last = DataFileName(base, file);
        const uint64_t size = SizeOf(last);
        if (size < uint64_t{position} + head.page_size) {
            return "its data file " + last + " is cut short: " + std::to_string(size) +
                   " bytes, but the last of its " + std::to_string(head.page_count) +
                   " pages lies at byte " + std::to_string(position);
        }
    }
    mendable = true;
    return "";
}

}  // namespace brindle::tool
