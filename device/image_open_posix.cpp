#include "device/image_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/retry_interrupted_posix.h"

namespace kormelt {

namespace {

// The descriptor was only looked at: its close has nothing to report.
std::FILE *Refuse(int fd) {
    (void)::close(fd);
    return nullptr;
}

}  // namespace

std::FILE *OpenImageFile(const char *path) {
    // O_NONBLOCK makes the open of a FIFO or a device return at once instead
    // of waiting for the other end; O_NOCTTY keeps a terminal named as an
    // image from becoming the host's controlling terminal.
    const int fd = RetryInterrupted([path] { return ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    if (fd < 0) {
        return nullptr;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return Refuse(fd);
    }
    // A regular file never makes a read wait; the stream gets an ordinary
    // blocking descriptor all the same.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return Refuse(fd);
    }
    std::FILE *file = ::fdopen(fd, "rb");
    return file != nullptr ? file : Refuse(fd);
}

}  // namespace kormelt
