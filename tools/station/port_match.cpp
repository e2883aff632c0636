#include "tools/station/port_match.h"

#include <fnmatch.h>

namespace kormelt::station {

bool PortMatches(const std::vector<std::string> &patterns, const std::string &port,
                 const tool::PortIdentity &identity) {
    if (patterns.empty()) {
        return true;
    }
    const std::string names[] = {identity.location, identity.serial, identity.UsbId(), port};
    for (const std::string &pattern : patterns) {
        for (const std::string &name : names) {
            // The kernel writes "1a86:7523"; "1A86:7523" is the same adapter.
            if (!name.empty() && fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace kormelt::station
