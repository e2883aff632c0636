// What a path is by its mode, in the kinds of path_kind.h; and the directory
// a path names a file in.
#pragma once

#include <sys/stat.h>

#include <string>

#include "tools/common/path_kind.h"

namespace kormelt::tool {

inline PathKind PathKindOf(mode_t mode) {
    if (S_ISREG(mode)) {
        return PathKind::RegularFile;
    }
    if (S_ISDIR(mode)) {
        return PathKind::Directory;
    }
    if (S_ISFIFO(mode)) {
        return PathKind::Fifo;
    }
    if (S_ISCHR(mode)) {
        return PathKind::CharacterDevice;
    }
    if (S_ISBLK(mode)) {
        return PathKind::BlockDevice;
    }
    if (S_ISSOCK(mode)) {
        return PathKind::Socket;
    }
    return PathKind::Unknown;
}

inline std::string ParentDirectory(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace kormelt::tool
