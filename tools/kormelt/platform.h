// The serial ports the tool hands to the library's search and probes for
// `kormelt ports`. One implementation per platform, picked by the build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kormelt::tool {

// Decides which device stands behind each of COM1..COM7 for the next
// search, unless the search was pointed at one device. On Linux: a
// KORMELT_COM<n> the user set keeps its place; the other ports go to the
// serial devices found, USB and ACM adapters first, then UARTs, the system
// console left out. Elsewhere the ports are fixed and nothing changes. False
// with a reason when the mapping cannot be handed to the library.
bool MapPorts(std::string *error);

// The device the library opens for COMn on this platform.
std::string PortDevice(uint32_t n);
// Where that name comes from, shown by `kormelt ports` ("KORMELT_COM3",
// "USB adapter", "fixed").
std::string PortDeviceSource(uint32_t n);
// Serial devices found that no port from COM1 to COM7 reaches.
std::vector<std::string> PortsLeftOver();

enum class PortState { Free, Missing, InUse, NoAccess, NotTerminal, Unusable };

struct PortProbe {
    PortState state;
    std::string detail;  // the system's reason when the state is not Free
};

// Opens the device the way the library would and lets go of it at once. A
// path that is no character device is not opened at all.
PortProbe ProbePort(const std::string &device);

// What to try when no device was found, in this platform's terms.
std::string SearchHint();

// Makes the next search look at this device only. False with a reason when
// the platform cannot redirect its ports.
bool PointSearchAtDevice(const std::string &device, std::string *error);

}  // namespace kormelt::tool
