#include "brindle/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "brindle/tool_error.h"

namespace brindle::tool {
namespace {

namespace fs = std::filesystem;

// Where a symbolic link at `path` leads, link after link (at most 40, as the kernel allows).
fs::path FollowLinks(fs::path path) {
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(path, error))) {
            return path;
        }
        const fs::path next = fs::read_symlink(path, error);
        if (error) {
            return path;
        }
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    throw OutputFileError(path.string(), "too many levels of symbolic links");
}

std::string KindOf(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISFIFO(mode)) {
        return "a pipe (FIFO)";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a regular file";
}

std::string Describe(int error) {
    return std::strerror(error);
}

std::string FolderOf(const std::string& path) {
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? "." : parent.string();
}

mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0600 & ~mask;
}

}  // namespace

OutputTarget ResolveOutputTarget(const std::string& path) {
    OutputTarget target;
    target.given = path;
    target.path = FollowLinks(path).string();
    struct stat status {};
    if (::stat(target.path.c_str(), &status) != 0) {
        if (errno != ENOENT) {
            throw OutputFileError(path, Describe(errno));
        }
        target.mode = NewFileMode();
        return target;
    }
    if (!S_ISREG(status.st_mode)) {
        const std::string kind = KindOf(status.st_mode);
        throw OutputFileError(
            path, (kind.rfind("not", 0) == 0 ? "it is " + kind
                                             : "it is " + kind + ", not a regular file") +
                      "; name a file to create or replace");
    }
    target.exists = true;
    target.mode = status.st_mode & 07777;
    return target;
}

std::string ScratchPattern(const OutputTarget& target) {
    return FolderOf(target.path) + "/." + fs::path(target.path).filename().string() + ".XXXXXX";
}

StagedFile::StagedFile(const std::string& target) : target_(ResolveOutputTarget(target)) {
    std::string pattern = ScratchPattern(target_);
    if (::mkdtemp(pattern.data()) == nullptr) {  // a folder only the user may enter
        throw OutputFileError(target_.given, Describe(errno));
    }
    folder_ = pattern;
    write_path_ = folder_ + "/" + fs::path(target_.path).filename().string();
}

StagedFile::~StagedFile() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

bool StagedFile::Commit(bool replace) {
    int error = 0;
    if (::chmod(write_path_.c_str(), target_.mode) != 0) {
        error = errno;
    } else if (replace) {
        error = ::rename(write_path_.c_str(), target_.path.c_str()) == 0 ? 0 : errno;
    } else if (::renameat2(AT_FDCWD, write_path_.c_str(), AT_FDCWD, target_.path.c_str(),
                           RENAME_NOREPLACE) != 0) {
        error = errno;
        if (error == EINVAL || error == ENOSYS) {
            // A file system that cannot refuse to replace: a hard link can.
            error = ::link(write_path_.c_str(), target_.path.c_str()) == 0 ? 0 : errno;
        }
    }
    if (error == EEXIST && !replace) {
        return false;
    }
    if (error != 0) {
        throw OutputFileError(target_.given, Describe(error));
    }
    return true;
}

}  // namespace brindle::tool
