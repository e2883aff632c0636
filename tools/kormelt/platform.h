// The few operating system services the tool needs beyond standard C++.
// One implementation per platform, picked by the build.
#pragma once

#include <cstdint>
#include <string>

namespace kormelt::tool {

// True when standard output is an interactive terminal (progress bars are
// drawn only there).
bool StdoutIsTerminal();

// Ctrl-C (and SIGTERM where there is one) only raise a flag; the flash run
// polls it from the progress callback and cancels through the library.
bool InstallCancelHandler(std::string *error);
bool CancelRequested();

// The device the library opens for COMn on this platform.
std::string PortDevice(uint32_t n);
// Where that name comes from, shown by `kormelt ports` ("KORMELT_COM3",
// "default").
std::string PortDeviceSource(uint32_t n);

enum class PortState { Free, Missing, InUse, NoAccess, Unusable };

struct PortProbe {
    PortState state;
    std::string detail;  // the system's reason when the state is not Free
};

// Opens the device the way the library would and lets go of it at once.
PortProbe ProbePort(const std::string &device);

// What to try when no device was found, in this platform's terms.
std::string SearchHint();

// Makes the next search look at this device only. False with a reason when
// the platform cannot redirect its ports.
bool PointSearchAtDevice(const std::string &device, std::string *error);

}  // namespace kormelt::tool
