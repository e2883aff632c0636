// How the image check and the upload open an image file: one implementation
// per platform, picked by the build. Only a regular file is an image. A FIFO
// without a writer would hold the open for ever and a device such as
// /dev/zero would read without end, so anything else is refused at once,
// like a file that cannot be opened.
#pragma once

#include <cstdio>

namespace kormelt {

// A binary stream on path, at its start; null when path cannot be opened or
// names anything but a regular file. Never waits on the path.
std::FILE *OpenImageFile(const char *path);

}  // namespace kormelt
