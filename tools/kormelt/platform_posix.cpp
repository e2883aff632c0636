#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "link/port_name.h"
#include "protocol/protocol.h"
#include "tools/kormelt/platform.h"

namespace kormelt::tool {
namespace {

volatile std::sig_atomic_t g_cancel_requested = 0;

extern "C" void OnCancelSignal(int) { g_cancel_requested = 1; }

// Under /dev/null, which is no directory, so opening it fails at once on
// every system.
constexpr char NO_PORT_PATH[] = "/dev/null/no-port";

std::string VariableName(uint32_t n) {
    char variable[PORT_VARIABLE_CAPACITY];
    PortVariableName(n, variable);
    return variable;
}

std::string SystemError(const std::string &what, int error_number) { return what + ": " + std::strerror(error_number); }

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

std::string PortDevice(uint32_t n) {
    char name[POSIX_PORT_NAME_CAPACITY];
    // A name that does not fit is one the library refuses to open; what
    // stands in its place is opened by nobody either.
    return PosixPortName(n, name, sizeof name) ? name : NO_PORT_PATH;
}

std::string PortDeviceSource(uint32_t n) { return PortVariableValue(n) != nullptr ? VariableName(n) : "default"; }

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
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        const std::string value = n == SEARCH_FIRST_PORT ? device : NO_PORT_PATH;
        if (setenv(VariableName(n).c_str(), value.c_str(), 1) != 0) {
            *error = SystemError("cannot set " + VariableName(n), errno);
            return false;
        }
    }
    return true;
}

}  // namespace kormelt::tool
