// Whether the device behind a port could be had right now, judged as the
// library would open it. One implementation per platform, picked by the
// build.
#pragma once

#include <functional>
#include <string>

#include "tools/common/path_kind.h"

namespace kormelt::tool {

// Reachable and Unreachable are a port on the network (rfc2217:// or
// socket://): whether its server takes a connection. Nothing is sent, so the
// device behind it hears nothing.
enum class PortState { Free, Missing, InUse, NoAccess, NotSerialPort, Unusable, Reachable, Unreachable };

struct PortProbe {
    PortState state;
    PathKind kind;       // what the path is instead, for NotSerialPort
    std::string detail;  // the system's reason, for InUse, NoAccess, Unusable and Unreachable
};

// Opens the device the way the library would and lets go of it at once. A
// path that is no character device is not opened at all. A port on the
// network is connected to as the library would, within the same bound, and
// let go of at once.
PortProbe ProbePort(const std::string &device);

// What the reports on ports are handed to probe with: ProbePort, or in a
// test a fake that touches no device.
using PortProber = std::function<PortProbe(const std::string &device)>;

// Whether device has left the system, as an unplugged adapter's does: the
// path, or what its links lead to, no longer exists. Opens nothing, so the
// lines of a device still there are not touched. Where the platform cannot
// tell (Windows), and for a port on the network, false.
bool PortGone(const std::string &device);

// What the failure texts are handed to ask it with: PortGone, or a fake.
using PortGoneCheck = std::function<bool(const std::string &device)>;

}  // namespace kormelt::tool
