#include "tools/kormelt/port_map.h"

#include "link/port_name.h"
#include "tools/kormelt/message_text.h"
#include "tools/kormelt/messages.h"
#include "tools/kormelt/searched_ports.h"

namespace kormelt::tool {

PortMap MapPorts() {
    // COMn is \\.\COMn, always; nothing is searched for.
    PortMap map;
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        char name[WIN32_PORT_NAME_CAPACITY];
        Win32PortName(n, name);
        map.ports.at(n - SEARCH_FIRST_PORT) = {name, "fixed"};
    }
    return map;
}

std::optional<PortMap> PointSearchAtDevice(const std::string &, std::string *error) {
    *error =
        "--port is not supported on Windows: the library always searches " SEARCHED_PORTS ". "
        "Give the adapter a port number from " SEARCHED_PORTS " in Device Manager "
        "(the port's Properties, Port Settings, Advanced) and run without --port";
    return std::nullopt;
}

bool HandPortsToLibrary(const PortMap &, std::string *) { return true; }  // the library names them alike

std::string SearchHint() { return FillMessage(messages::HINT_WINDOWS, {{"ports", SEARCHED_PORTS}}); }

}  // namespace kormelt::tool
