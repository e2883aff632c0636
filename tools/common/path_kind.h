// What a path is when it is not what was asked for, in the words the tools
// use wherever they name it: refusals of an input or an output, and the
// state of a port in `kormelt ports`. One phrase per kind, all of them a
// noun with its article, so that they read alike wherever they appear.
#pragma once

#include <string>

namespace kormelt::tool {

enum class PathKind {
    RegularFile,
    Directory,
    Fifo,
    Pipe,  // Windows: a pipe or a socket, which the system does not tell apart
    Socket,
    BlockDevice,
    CharacterDevice,   // known by its name only, not yet opened
    NoTerminalDevice,  // a character device that was opened and found no terminal
    SymlinkLoop,
    Unknown,
};

constexpr const char *PathKindText(PathKind kind) {
    switch (kind) {
    case PathKind::RegularFile:
        return "a regular file";
    case PathKind::Directory:
        return "a directory";
    case PathKind::Fifo:
        return "a FIFO";
    case PathKind::Pipe:
        return "a pipe";
    case PathKind::Socket:
        return "a socket";
    case PathKind::BlockDevice:
        return "a block device";
    case PathKind::CharacterDevice:
        return "a character device";
    case PathKind::NoTerminalDevice:
        return "a character device that is no terminal";
    case PathKind::SymlinkLoop:
        return "a symbolic link loop";
    case PathKind::Unknown:
        break;
    }
    return "a file of an unknown kind";
}

inline std::string NotRegularText(const std::string &path, PathKind kind) {
    return path + " is " + PathKindText(kind) + ", not a regular file";
}

}  // namespace kormelt::tool
