#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vell {

// One file-system search: whether a path exists, and the size and kind of what it names. A
// pattern whose last parts hold the wildcards '*' or '?' matches every fitting entry, in
// name order; any other pattern, '[' included, is taken literally.
class FileFind {
public:
    // Attribute bits of a match.
    static constexpr uint32_t kAttributeDirectory = 0x10;
    static constexpr uint32_t kAttributeNormal = 0x80;

    FileFind() = default;
    ~FileFind() { Close(); }
    FileFind(const FileFind&) = delete;
    FileFind& operator=(const FileFind&) = delete;

    // Closes a search still open and starts a new one; true when something matched, which
    // becomes the current match. A failed search leaves none open.
    bool FindFirst(std::string pattern);
    // Moves to the next match; false when there is none or no search is open.
    bool FindNext();
    void Close();

    // The current match's size: the low 32 bits, the high 32 bits through `high`.
    unsigned int GetSize(unsigned int& high) const;
    uint64_t GetSize64() const { return size_; }
    // The current match's own name, without its directory.
    std::string GetName() const;
    bool IsDots() const;
    bool IsDirectory() const { return (attributes_ & kAttributeDirectory) != 0; }
    // Modification time of the current match, seconds since 1970.
    int64_t GetLastWriteTime() const { return last_write_; }
    // The pattern of the last successful search.
    const std::string& GetPath() const { return path_; }

private:
    bool Load(const std::string& path);

    std::string path_;
    bool open_ = false;
    std::vector<std::string> matches_;
    size_t current_ = 0;
    uint64_t size_ = 0;
    uint32_t attributes_ = 0;
    int64_t last_write_ = 0;
};

}  // namespace vell
