#include "tools/kormelt/port_map.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "link/port_name.h"
#include "tools/kormelt/port_scan.h"

namespace kormelt::tool {
namespace {

std::string VariableName(uint32_t n) {
    char variable[PORT_VARIABLE_CAPACITY];
    PortVariableName(n, variable);
    return variable;
}

MappedPort &Slot(PortMap *map, uint32_t n) { return map->ports.at(n - SEARCH_FIRST_PORT); }

}  // namespace

PortMap MapPorts() {
    const std::string root = ScanRoot();
    PortMap map;
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        if (const char *value = PortVariableValue(n)) {
            Slot(&map, n) = {value, VariableName(n), ReadPortIdentity(root, value)};
        }
    }
    uint32_t n = SEARCH_FIRST_PORT;
    for (const FoundPort &port : FindSerialPorts(root)) {
        bool named = false;  // the user already gave it a port of its own
        for (const MappedPort &mapped : map.ports) {
            named = named || mapped.device == port.device;
        }
        if (named) {
            continue;
        }
        while (n <= SEARCH_LAST_PORT && !Slot(&map, n).device.empty()) {
            ++n;
        }
        if (n > SEARCH_LAST_PORT) {
            map.left_over.push_back({port.device, port.source, port.identity});
            continue;
        }
        Slot(&map, n) = {port.device, port.source, port.identity};
    }
    for (MappedPort &mapped : map.ports) {
        if (mapped.device.empty()) {
            mapped = {NO_PORT_PATH, "no serial device found for it"};
        }
    }
    return map;
}

std::optional<PortMap> PointSearchAtDevice(const std::string &device, std::string *) {
    PortMap map;
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        Slot(&map, n) = n == SEARCH_FIRST_PORT ? MappedPort{device, "--port", ReadPortIdentity(ScanRoot(), device)}
                                               : MappedPort{NO_PORT_PATH, "left out by --port"};
    }
    return map;
}

bool HandPortsToLibrary(const PortMap &map, std::string *error) {
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        if (setenv(VariableName(n).c_str(), map.Port(n).device.c_str(), 1) != 0) {
            *error = "cannot set " + VariableName(n) + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

std::string SearchHint() {
    return std::string("If the device is on another path, run with --port PATH, or set ") + PORT_NAME_VARIABLE +
           "<n>=PATH to make it COMn; 'kormelt ports' shows which devices were found";
}

}  // namespace kormelt::tool
