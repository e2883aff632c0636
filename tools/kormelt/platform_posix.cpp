#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "link/port_name.h"
#include "protocol/protocol.h"
#include "tools/common/file_kind_posix.h"
#include "tools/kormelt/platform.h"
#include "tools/kormelt/port_scan.h"

namespace kormelt::tool {
namespace {

// Under /dev/null, which is no directory, so opening it fails at once on
// every system.
constexpr char NO_PORT_PATH[] = "/dev/null/no-port";
// Where the port scan looks for /dev and /sys; a test points it at a tree of
// its own.
constexpr char SCAN_ROOT_VARIABLE[] = "KORMELT_SCAN_ROOT";
constexpr char SCAN_ROOT_DEFAULT[] = "/";

// Where each COMn came from, as set by MapPorts or PointSearchAtDevice;
// empty until one of them ran.
std::array<std::string, SEARCH_LAST_PORT + 1> g_port_source;
std::vector<std::string> g_left_over;

std::string VariableName(uint32_t n) {
    char variable[PORT_VARIABLE_CAPACITY];
    PortVariableName(n, variable);
    return variable;
}

std::string SystemError(const std::string &what, int error_number) { return what + ": " + std::strerror(error_number); }

}  // namespace

bool MapPorts(std::string *error) {
    const char *root_value = std::getenv(SCAN_ROOT_VARIABLE);
    const std::string root = root_value != nullptr && *root_value != '\0' ? root_value : SCAN_ROOT_DEFAULT;
    std::array<std::string, SEARCH_LAST_PORT + 1> device;
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        if (const char *value = PortVariableValue(n)) {
            device[n] = value;
            g_port_source[n] = VariableName(n);
        }
    }
    uint32_t n = SEARCH_FIRST_PORT;
    for (const FoundPort &port : FindSerialPorts(root)) {
        bool named = false;  // the user already gave it a port of its own
        for (uint32_t k = SEARCH_FIRST_PORT; k <= SEARCH_LAST_PORT; ++k) {
            named = named || device[k] == port.device;
        }
        if (named) {
            continue;
        }
        while (n <= SEARCH_LAST_PORT && !device[n].empty()) {
            ++n;
        }
        if (n > SEARCH_LAST_PORT) {
            g_left_over.push_back(port.device + " (" + port.source + ")");
            continue;
        }
        device[n] = port.device;
        g_port_source[n] = port.source;
    }
    for (uint32_t k = SEARCH_FIRST_PORT; k <= SEARCH_LAST_PORT; ++k) {
        if (device[k].empty()) {
            device[k] = NO_PORT_PATH;
            g_port_source[k] = "no serial device found for it";
        }
        if (setenv(VariableName(k).c_str(), device[k].c_str(), 1) != 0) {
            *error = SystemError("cannot set " + VariableName(k), errno);
            return false;
        }
    }
    return true;
}

std::string PortDevice(uint32_t n) {
    char name[POSIX_PORT_NAME_CAPACITY];
    // A name that does not fit is one the library refuses to open; what
    // stands in its place is opened by nobody either.
    return PosixPortName(n, name, sizeof name) ? name : NO_PORT_PATH;
}

std::string PortDeviceSource(uint32_t n) {
    if (n >= SEARCH_FIRST_PORT && n <= SEARCH_LAST_PORT && !g_port_source[n].empty()) {
        return g_port_source[n];
    }
    return PortVariableValue(n) != nullptr ? VariableName(n) : "default";
}

std::vector<std::string> PortsLeftOver() { return g_left_over; }

PortProbe ProbePort(const std::string &device) {
    // Anything but a character device is no serial port, and opening it
    // could block (a FIFO) or mean nothing: it is judged unopened.
    struct stat info {};
    if (stat(device.c_str(), &info) != 0) {
        const int e = errno;
        return {e == ENOENT || e == ENOTDIR ? PortState::Missing : PortState::Unusable, std::strerror(e)};
    }
    if (!S_ISCHR(info.st_mode)) {
        return {PortState::NotTerminal, PathKindText(PathKindOf(info.st_mode))};
    }
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        switch (e) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
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
    if (isatty(fd) != 1) {
        probe = {PortState::NotTerminal, PathKindText(PathKind::NoTerminalDevice)};
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        probe = e == EWOULDBLOCK ? PortProbe{PortState::InUse, "locked by another program"}
                                 : PortProbe{PortState::Unusable, std::strerror(e)};
    }
    // Closing drops the lock; there is nothing to recover if it fails.
    close(fd);
    return probe;
}

std::string SearchHint() {
    return "If the device is on another path, run with --port PATH, or set KORMELT_COM<n>=PATH to make it "
           "COMn; 'kormelt ports' shows which devices were found";
}

bool PointSearchAtDevice(const std::string &device, std::string *error) {
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        const bool first = n == SEARCH_FIRST_PORT;
        if (setenv(VariableName(n).c_str(), first ? device.c_str() : NO_PORT_PATH, 1) != 0) {
            *error = SystemError("cannot set " + VariableName(n), errno);
            return false;
        }
        g_port_source[n] = first ? "--port" : "left out by --port";
    }
    return true;
}

}  // namespace kormelt::tool
