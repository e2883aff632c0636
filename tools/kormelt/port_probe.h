// Whether the device behind a port could be had right now, judged as the
// library would open it. One implementation per platform, picked by the
// build.
#pragma once

#include <functional>
#include <string>

#include "tools/common/path_kind.h"

namespace kormelt::tool {

enum class PortState { Free, Missing, InUse, NoAccess, NotSerialPort, Unusable };

struct PortProbe {
    PortState state;
    PathKind kind;       // what the path is instead, for NotSerialPort
    std::string detail;  // the system's reason, for InUse, NoAccess and Unusable
};

// Opens the device the way the library would and lets go of it at once. A
// path that is no character device is not opened at all.
PortProbe ProbePort(const std::string &device);

// What the reports on ports are handed to probe with: ProbePort, or in a
// test a fake that touches no device.
using PortProber = std::function<PortProbe(const std::string &device)>;

// Whether device has left the system, as an unplugged adapter's does: the
// path, or what its links lead to, no longer exists. Opens nothing, so the
// lines of a device still there are not touched. Where the platform cannot
// tell (Windows), false.
bool PortGone(const std::string &device);

// What the failure texts are handed to ask it with: PortGone, or a fake.
using PortGoneCheck = std::function<bool(const std::string &device)>;

}  // namespace kormelt::tool
