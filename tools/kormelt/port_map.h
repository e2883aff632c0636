// Which device stands behind each of COM1..COM7 for the library's search,
// and where each came from: a value, made once per command and handed to
// what needs it. One implementation per platform, picked by the build.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/protocol.h"
#include "tools/kormelt/port_identity.h"

namespace kormelt::tool {

constexpr size_t SEARCH_PORT_COUNT = SEARCH_LAST_PORT - SEARCH_FIRST_PORT + 1;

struct MappedPort {
    std::string device;  // the path the library opens
    std::string source;  // where it came from, for people: "KORMELT_COM3", "USB adapter", "fixed"
    PortIdentity identity{};  // what the system knows of the adapter; nothing on Windows
};

struct PortMap {
    std::array<MappedPort, SEARCH_PORT_COUNT> ports;  // COM1 first
    std::vector<MappedPort> left_over;                // serial devices found that no port reaches

    // COMn's entry; a number outside COM1..COM7 throws std::out_of_range.
    const MappedPort &Port(uint32_t n) const { return ports.at(n - SEARCH_FIRST_PORT); }
};

// The ports for a search of COM1..COM7. On Linux: a KORMELT_COM<n> the user
// set keeps its place; the other ports go to the serial devices found under
// $KORMELT_SCAN_ROOT ("/" unless a test says otherwise), USB and ACM adapters
// first, then UARTs, the system console left out; a port with no device
// leads to a path that does not exist. On Windows COMn is always \\.\COMn.
PortMap MapPorts();

// The ports for a search of this device alone: it is COM1, the others lead
// nowhere. Nothing, with a reason, where the platform cannot redirect its
// ports (Windows).
std::optional<PortMap> PointSearchAtDevice(const std::string &device, std::string *error);

// Makes the library's next search open map's devices for COM1..COM7, on
// POSIX through KORMELT_COM<n>; where the ports are fixed there is nothing
// to do. False with a reason when that fails.
bool HandPortsToLibrary(const PortMap &map, std::string *error);

// What to try when no device was found, in this platform's terms.
std::string SearchHint();

}  // namespace kormelt::tool
