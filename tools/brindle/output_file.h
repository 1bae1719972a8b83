#pragma once

#include <string>

#include "brindle/tool_error.h"

namespace brindle::tool {

// "cannot write 'PATH': REASON", with the reason apart for callers that word it their way.
class OutputFileError : public ToolError {
public:
    OutputFileError(const std::string& path, const std::string& reason)
        : ToolError("cannot write '" + path + "': " + reason), reason_(reason) {}
    const std::string& Reason() const { return reason_; }

private:
    std::string reason_;
};

// Every file the tool writes for the user (export, dump -o, the demo's files) is put in place
// the same way. The path may name a missing file or a regular file, or a symbolic link to
// one, which is written through: the file it leads to is replaced and the link stays.
// Anything else (a folder, a device, a pipe, a socket) is refused before anything is
// written. A replaced file keeps its permission bits; a new one is made 0600 (less when the
// umask takes more away), since a dump or an export can hold secrets. The new text goes to
// a scratch file beside the target, which replaces the target only when every byte is on
// disk; dropped unfinished, it is removed and the target stays as it was.
struct OutputTarget {
    std::string given;      // the path as the user gave it, for messages
    std::string path;       // the file to replace: `given`, or where its links lead
    bool exists = false;    // a regular file is there now
    unsigned int mode = 0;  // the permission bits the written file gets
};

// Throws OutputFileError ("cannot write 'PATH': it is a folder, not a regular file; ...") for
// a target that is not a regular file.
OutputTarget ResolveOutputTarget(const std::string& path);

// The pattern (for mkstemp or mkdtemp) of a scratch name beside the target: a hidden name
// in its folder.
std::string ScratchPattern(const OutputTarget& target);

// An output file another writer makes (the library's export, which names its own scratch
// file and renames it): that writer is given a path in a folder of its own beside the
// target that only the user may enter, so that nothing it makes there is readable by
// others whatever its mode; Commit gives the file its mode and moves it over the target.
class StagedFile {
public:
    explicit StagedFile(const std::string& target);
    ~StagedFile();  // removes the folder with whatever is left in it
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const OutputTarget& Target() const { return target_; }
    // A path that does not exist yet, for the writer to create.
    const std::string& WritePath() const { return write_path_; }
    // Without `replace`, false (and nothing moved) when a file appeared at the target since.
    // Throws OutputFileError when the move fails otherwise (as the constructor does).
    bool Commit(bool replace);

private:
    OutputTarget target_;
    std::string folder_;
    std::string write_path_;
};

}  // namespace brindle::tool
