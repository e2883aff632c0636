#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "tools/kormelt/platform.h"

namespace kormelt::tool {
namespace {

volatile std::sig_atomic_t g_cancel_requested = 0;

extern "C" void OnCancelSignal(int) { g_cancel_requested = 1; }

// Under /dev/null, which is no directory, so opening it fails at once on
// every system.
constexpr char NO_PORT_PATH[] = "/dev/null/no-port";
constexpr int SEARCH_FIRST_PORT = 1;
constexpr int SEARCH_LAST_PORT = 7;

std::string EnvName(int n) { return "KORMELT_COM" + std::to_string(n); }

const char *EnvDevice(int n) {
    const char *value = std::getenv(EnvName(n).c_str());
    return value != nullptr && *value != '\0' ? value : nullptr;
}

std::string SystemError(const std::string &what, int error_number) { return what + ": " + std::strerror(error_number); }

bool WriteAll(int fd, const uint8_t *bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = write(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool InstallCancelHandler(std::string *error) {
    struct sigaction action {};
    action.sa_handler = OnCancelSignal;
    sigemptyset(&action.sa_mask);
    // Restarted calls keep a signal from turning into a failed write inside
    // the library; the library's timed waits handle the interruption itself.
    action.sa_flags = SA_RESTART;
    for (const int signal_number : {SIGINT, SIGTERM}) {
        if (sigaction(signal_number, &action, nullptr) != 0) {
            *error = SystemError("cannot install the Ctrl-C handler", errno);
            return false;
        }
    }
    return true;
}

bool CancelRequested() { return g_cancel_requested != 0; }

std::string PortDevice(int n) {
    const char *value = EnvDevice(n);
    return value != nullptr ? value : "/dev/ttyS" + std::to_string(n - 1);
}

std::string PortDeviceSource(int n) { return EnvDevice(n) != nullptr ? EnvName(n) : "default"; }

PortProbe ProbePort(const std::string &device) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        switch (e) {
        case ENOENT:
        case ENOTDIR:
            return {PortState::Missing, std::strerror(e)};
        case EACCES:
        case EPERM:
            return {PortState::NoAccess, std::strerror(e)};
        case EBUSY:
            return {PortState::InUse, std::strerror(e)};
        default:
            return {PortState::Unusable, std::strerror(e)};
        }
    }
    PortProbe probe{PortState::Free, ""};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        probe = e == EWOULDBLOCK ? PortProbe{PortState::InUse, "locked by another program"}
                                 : PortProbe{PortState::Unusable, std::strerror(e)};
    }
    // Closing drops the lock; there is nothing to recover if it fails.
    close(fd);
    return probe;
}

std::string SearchHint() {
    return "If the device is on another path (a USB adapter is often /dev/ttyUSB0 or /dev/ttyACM0), "
           "run with --port PATH, or set KORMELT_COM<n>=PATH to make it COMn";
}

bool PointSearchAtDevice(const std::string &device, std::string *error) {
    for (int n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        const std::string value = n == SEARCH_FIRST_PORT ? device : NO_PORT_PATH;
        if (setenv(EnvName(n).c_str(), value.c_str(), 1) != 0) {
            *error = SystemError("cannot set " + EnvName(n), errno);
            return false;
        }
    }
    return true;
}

bool WriteFileReplacing(const std::string &path, const std::vector<uint8_t> &bytes, std::string *error) {
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        *error = SystemError("cannot create a file next to " + path, errno);
        return false;
    }
    // mkstemp creates the file for its owner only; the image gets the mode
    // any new file of this user would get.
    const mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0;
    ok = ok && WriteAll(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
    int e = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        *error = SystemError("cannot write " + path, e);
        // The temporary file is ours and useless now; a failure to remove it
        // changes nothing about the error already reported.
        unlink(temp.c_str());
    }
    return ok;
}

}  // namespace kormelt::tool
