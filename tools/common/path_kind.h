// What a path is when it is not what was asked for, in the words the tools
// use wherever they name it: refusals of an input or an output, and the
// state of a port in `kormelt ports`. One phrase per kind, all of them a
// noun with its article, so that they read alike wherever they appear.
#pragma once

#include <string>

#include "tools/common/name_table.h"

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

constexpr Named<PathKind> PATH_KIND_TEXTS[] = {
    {PathKind::RegularFile, "a regular file"},
    {PathKind::Directory, "a directory"},
    {PathKind::Fifo, "a FIFO"},
    {PathKind::Pipe, "a pipe"},
    {PathKind::Socket, "a socket"},
    {PathKind::BlockDevice, "a block device"},
    {PathKind::CharacterDevice, "a character device"},
    {PathKind::NoTerminalDevice, "a character device that is no terminal"},
    {PathKind::SymlinkLoop, "a symbolic link loop"},
    {PathKind::Unknown, "a file of an unknown kind"},
};
static_assert(NamesEveryValue(PATH_KIND_TEXTS, PathKind::Unknown));

constexpr const char *PathKindText(PathKind kind) {
    return NameIn(PATH_KIND_TEXTS, kind, "a file of an unknown kind");
}

inline std::string NotRegularText(const std::string &path, PathKind kind) {
    return path + " is " + PathKindText(kind) + ", not a regular file";
}

}  // namespace kormelt::tool
