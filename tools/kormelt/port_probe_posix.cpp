#include "tools/kormelt/port_probe.h"

#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "link/port_open_posix.h"
#include "link/port_url.h"
#include "link/remote_connect_posix.h"
#include "tools/common/file_kind_posix.h"

namespace kormelt::tool {
namespace {

PortProbe Probe(PortState state, const std::string &detail = "") { return {state, PathKind::Unknown, detail}; }

PortProbe NoSerialPort(PathKind kind) { return {PortState::NotSerialPort, kind, ""}; }

// The kernel hangs up the line of an unplugged adapter a moment before it
// removes the device's node, and the caller may have met the hang-up in
// that moment: a path still there is looked at again for this long.
constexpr auto GONE_SETTLE_TIME = std::chrono::milliseconds(500);
constexpr auto GONE_LOOK_INTERVAL = std::chrono::milliseconds(50);

// Links followed, so that a link that outlived its device (a by-id link udev
// has not removed yet, the simulator's) counts as gone too.
bool PathMissing(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// A server connected to and let go of at once, before it is sent anything.
PortProbe ProbeServer(const PortUrl &url) {
    const RemoteConnectResult connected = ConnectRemote(url, REMOTE_CONNECT_SYSTEM_CALLS);
    switch (connected.failed) {
    case RemoteConnectStep::None:
        // Nothing to recover if it fails: nothing was sent.
        (void)close(connected.fd);
        return Probe(PortState::Reachable);
    case RemoteConnectStep::Address:
        return Probe(PortState::Unreachable, url.bracketed ? "[" + std::string(url.host) + "] is no IPv6 address"
                                                           : std::string(gai_strerror(connected.error)));
    case RemoteConnectStep::Lookup:
        return Probe(PortState::Unreachable,
                     std::string(url.host) + " could not be looked up (" +
                         (connected.error == 0 ? "no answer within " + std::to_string(REMOTE_CONNECT_TIMEOUT_MS) + " ms"
                                               : std::string(gai_strerror(connected.error))) +
                         ")");
    case RemoteConnectStep::Late:
        return Probe(PortState::Unreachable,
                     "no answer within " + std::to_string(REMOTE_CONNECT_TIMEOUT_MS) + " ms");
    case RemoteConnectStep::Socket:
    case RemoteConnectStep::Refused:
        return Probe(PortState::Unreachable, std::strerror(connected.error));
    }
    return Probe(PortState::Unreachable);
}

}  // namespace

PortProbe ProbePort(const std::string &device) {
    PortUrl url;
    switch (ParsePortUrl(device.c_str(), &url)) {
    case PortUrlParse::Url:
        return ProbeServer(url);
    case PortUrlParse::Bad:
        return Probe(PortState::Unusable, std::string("not a port name the library takes; a server is ") +
                                              PORT_URL_RFC2217 + "HOST:PORT or " + PORT_URL_SOCKET + "HOST:PORT");
    case PortUrlParse::Path:
        break;
    }
    // Anything but a character device is no serial port, and opening it
    // could block (a FIFO) or mean nothing: it is judged unopened.
    struct stat info {};
    if (stat(device.c_str(), &info) != 0) {
        const int e = errno;
        if (e == ELOOP) {
            return NoSerialPort(PathKind::SymlinkLoop);
        }
        return Probe(e == ENOENT || e == ENOTDIR ? PortState::Missing : PortState::Unusable, std::strerror(e));
    }
    if (!S_ISCHR(info.st_mode)) {
        return NoSerialPort(PathKindOf(info.st_mode));
    }
    const PortOpenResult opened = OpenClaimedPort(device.c_str(), PORT_OPEN_SYSTEM_CALLS);
    if (opened.failed == PortOpenStep::Claim) {
        return opened.error == EWOULDBLOCK ? Probe(PortState::InUse, "it holds the port's lock")
                                           : Probe(PortState::Unusable, std::strerror(opened.error));
    }
    if (opened.fd < 0) {
        const int e = opened.error;
        switch (e) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
            return Probe(PortState::Missing, std::strerror(e));
        case EACCES:
        case EPERM:
            return Probe(PortState::NoAccess, std::strerror(e));
        case EBUSY:
            return Probe(PortState::InUse, std::strerror(e));
        default:
            return Probe(PortState::Unusable, std::strerror(e));
        }
    }
    const PortProbe probe = isatty(opened.fd) == 1 ? Probe(PortState::Free) : NoSerialPort(PathKind::NoTerminalDevice);
    // Closing drops the lock; there is nothing to recover if it fails.
    (void)close(opened.fd);
    return probe;
}

bool PortGone(const std::string &device) {
    PortUrl url;
    if (ParsePortUrl(device.c_str(), &url) != PortUrlParse::Path) {
        return false;  // a server has no node that could vanish
    }
    const auto until = std::chrono::steady_clock::now() + GONE_SETTLE_TIME;
    for (;;) {
        if (PathMissing(device)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(GONE_LOOK_INTERVAL);
    }
}

}  // namespace kormelt::tool
