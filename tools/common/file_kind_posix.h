// What a path is by its mode, in the kinds of path_kind.h; and the directory
// a path names a file in.
#pragma once

#include <sys/stat.h>

#include <string>

#include "tools/common/path_kind.h"

namespace kormelt::tool {

// The kind of each file type of a mode, as its S_IFMT bits tell it.
struct ModeKind {
    mode_t type;
    PathKind kind;
};
constexpr ModeKind MODE_KINDS[] = {
    {S_IFREG, PathKind::RegularFile},     {S_IFDIR, PathKind::Directory},   {S_IFIFO, PathKind::Fifo},
    {S_IFCHR, PathKind::CharacterDevice}, {S_IFBLK, PathKind::BlockDevice}, {S_IFSOCK, PathKind::Socket},
};

inline PathKind PathKindOf(mode_t mode) {
    for (const ModeKind &entry : MODE_KINDS) {
        if ((mode & S_IFMT) == entry.type) {
            return entry.kind;
        }
    }
    return PathKind::Unknown;
}

inline std::string ParentDirectory(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace kormelt::tool
