// What `kormelt doctor` reads of a Linux machine: /proc, /sys and /dev under
// a root directory ("/" on a real machine, a tree of its own in a test), the
// users and groups through Accounts, and each device through a probe. It
// changes nothing: the probe opens and lets go as `kormelt ports` does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kormelt/doctor.h"
#include "tools/kormelt/port_map.h"
#include "tools/kormelt/port_probe.h"

namespace kormelt::tool {

struct SystemView {
    std::string root;
    PortProber probe;
    Accounts accounts;
    int32_t self_pid = 0;  // left out of the holders: the doctor's own process
};

// $KORMELT_SCAN_ROOT or "/", ProbePort, the system's users and groups, and
// this process.
SystemView ThisSystem();

// The user this process runs as (its effective ids and the groups it has
// now) and the group database, as the system tells them.
Accounts SystemAccounts();

// The device at path (a path of the machine, as the port map holds it).
DeviceFacts ReadDeviceFacts(const SystemView &view, const std::string &path);

MachineFacts ReadMachineFacts(const SystemView &view);

// Every check but the search, in the order they are shown: the map, each
// candidate port's device, the services.
std::vector<DoctorCheck> LocalChecks(const PortMap &map, const SystemView &view);

}  // namespace kormelt::tool
