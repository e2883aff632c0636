// The files the tool reads and hands on: an input read whole without
// blocking on what is no file, the private copy the library is given, and
// whether two names are one file. One implementation per platform, picked by
// the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kormelt::tool {

// Whether two names lead to the same file, links followed: the same inode
// of the same device, or on Windows the same file index of the same volume.
// False when either cannot be looked at (it does not exist, for one).
bool SameFile(const std::string &a, const std::string &b);

enum class ReadOutcome { Ok, Unreadable, NotRegular, TooLarge, Cancelled };

// Reads a regular file whole. NotRegular, with a reason, for anything else
// (FIFO, device, directory, socket), found before opening it in a way that
// could block; Unreadable, with the system's reason, when it cannot be
// opened or read; TooLarge, without reading past the bound, for a file of
// more than max_bytes; Cancelled when stop answers true between two reads.
ReadOutcome ReadRegularFile(const std::string &path, size_t max_bytes, std::vector<uint8_t> *out,
                            std::string *error, bool (*stop)());

// A read-only copy of bytes in a private temporary directory, for handing to
// the library by name; RemovePrivateCopy takes it away again.
bool MakePrivateCopy(const std::vector<uint8_t> &bytes, std::string *path, std::string *error);
void RemovePrivateCopy(const std::string &path);

}  // namespace kormelt::tool
