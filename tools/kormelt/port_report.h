// How the tool tells people about COM1..COM7: the table `kormelt ports`
// prints, and the list of ports a search tried when no device answered.
// Pure: the map and the probe are handed in, so a test can give a fake of
// each and touch no device.
#pragma once

#include <string>

#include "tools/kormelt/port_map.h"
#include "tools/kormelt/port_probe.h"

namespace kormelt::tool {

// One row per port (the port, its device, its state now and where the
// device came from, then what is known of the adapter: location, USB ids,
// serial, maker and product) under a header row, the columns as wide as
// their widest entry; then a line for each device found that no port
// reaches.
std::string PortsTable(const PortMap &map, const PortProber &probe);

// The same as JSON lines, one per port and one per device no port reaches
// ("port" null, not probed); an unknown part of an identity is null.
std::string PortsJson(const PortMap &map, const PortProber &probe);

// "COM1 /dev/ttyUSB0 (no answer), COM2 ... ", each port with its device and
// why it gave no answer.
std::string PortsTriedText(const PortMap &map, const PortProber &probe);

}  // namespace kormelt::tool
