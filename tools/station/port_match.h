// Which ports --match selects: a glob (fnmatch, case ignored) against the
// port's location, its USB serial number, its VID:PID or its path.
#pragma once

#include <string>
#include <vector>

#include "tools/kormelt/port_identity.h"

namespace kormelt::station {

// True when patterns is empty or any pattern matches any of the port's
// names that are known.
bool PortMatches(const std::vector<std::string> &patterns, const std::string &port,
                 const tool::PortIdentity &identity);

}  // namespace kormelt::station
