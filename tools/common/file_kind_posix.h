// What a path is when it is no regular file, in words, for the tools'
// refusals; and the directory a path names a file in.
#pragma once

#include <sys/stat.h>

#include <string>

namespace kormelt::tool {

inline const char *FileKind(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO (named pipe)";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a regular file";
}

inline std::string NotRegularText(const std::string &path, mode_t mode) {
    return path + " is " + FileKind(mode) + ", not a regular file";
}

inline std::string ParentDirectory(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace kormelt::tool
