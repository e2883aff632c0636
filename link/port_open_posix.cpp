#include "link/port_open_posix.h"

#include <cerrno>

#include <sys/file.h>
#include <unistd.h>

namespace kormelt {

namespace {

int OpenPath(const char *path, int flags) { return ::open(path, flags); }

}  // namespace

const PortOpenCalls PORT_OPEN_SYSTEM_CALLS = {OpenPath, ::flock, ::close};

PortOpenResult OpenClaimedPort(const char *path, const PortOpenCalls &calls) {
    const int fd = calls.open(path, PORT_OPEN_FLAGS);
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
