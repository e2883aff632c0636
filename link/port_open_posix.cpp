#include "link/port_open_posix.h"

#include <cerrno>

#include <sys/file.h>
#include <unistd.h>

#include "link/retry_interrupted_posix.h"

namespace kormelt {

namespace {

int OpenPath(const char *path, int flags) { return ::open(path, flags); }
int FileControl(int fd, int command, int argument) { return ::fcntl(fd, command, argument); }

PortOpenCalls SystemCalls() {
    PortOpenCalls calls;
    calls.open = OpenPath;
    calls.fcntl = FileControl;
    calls.flock = ::flock;
    calls.close = ::close;
    return calls;
}

}  // namespace

const PortOpenCalls PORT_OPEN_SYSTEM_CALLS = SystemCalls();

int KeepAboveStandardStreams(int fd, const PortOpenCalls &calls) {
    if (fd >= FIRST_PORT_DESCRIPTOR) {
        return fd;
    }
    const int moved = calls.fcntl(fd, F_DUPFD_CLOEXEC, FIRST_PORT_DESCRIPTOR);
    const int error = errno;
    // Not examined: the duplicate, if made, holds the device, and nothing is
    // left to undo for the low one.
    (void)calls.close(fd);
    errno = error;
    return moved;
}

PortOpenResult OpenClaimedPort(const char *path, const PortOpenCalls &calls) {
    const int opened = RetryInterrupted([&] { return calls.open(path, PORT_OPEN_FLAGS); });
    const int fd = opened < 0 ? opened : KeepAboveStandardStreams(opened, calls);
    if (fd < 0) {
        return {-1, PortOpenStep::Open, errno};
    }
    if (calls.flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        // Closing also drops whatever the descriptor held; nothing else was
        // done with it that would need undoing.
        (void)calls.close(fd);
        return {-1, PortOpenStep::Claim, error};
    }
    return {fd, PortOpenStep::None, 0};
}

}  // namespace kormelt
