#include <windows.h>

#include "link/port_name.h"
#include "tools/common/win32_error.h"
#include "tools/kormelt/platform.h"

namespace kormelt::tool {

bool MapPorts(std::string *) { return true; }  // COMn is \\.\COMn, always

std::string PortDevice(uint32_t n) {
    char name[WIN32_PORT_NAME_CAPACITY];
    Win32PortName(n, name);
    return name;
}

std::string PortDeviceSource(uint32_t) { return "fixed"; }

std::vector<std::string> PortsLeftOver() { return {}; }

PortProbe ProbePort(const std::string &device) {
    const HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return {PortState::Missing, Win32ErrorText("", code)};
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            // A COM port held by another program refuses a second opener
            // with "access denied".
            return {PortState::InUse, Win32ErrorText("", code)};
        default:
            return {PortState::Unusable, Win32ErrorText("", code)};
        }
    }
    // Opened only to see whether it can be; nothing to recover on failure.
    CloseHandle(handle);
    return {PortState::Free, ""};
}

std::string SearchHint() {
    return "Only COM1 to COM7 are searched: if Device Manager shows the adapter with a higher number, "
           "give it one from COM1 to COM7 (the port's Properties, Port Settings, Advanced)";
}

bool PointSearchAtDevice(const std::string &, std::string *error) {
    *error =
        "--port is not supported on Windows: the library always searches COM1 to COM7. "
        "Give the adapter a port number from COM1 to COM7 in Device Manager "
        "(the port's Properties, Port Settings, Advanced) and run without --port";
    return false;
}

}  // namespace kormelt::tool
