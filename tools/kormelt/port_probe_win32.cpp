#include "tools/kormelt/port_probe.h"

#include <windows.h>

#include "tools/common/win32_error.h"

namespace kormelt::tool {
namespace {

PortProbe Probe(PortState state, const std::string &detail = "") { return {state, PathKind::Unknown, detail}; }

}  // namespace

PortProbe ProbePort(const std::string &device) {
    // Without sharing, as the library opens its ports.
    const HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return Probe(PortState::Missing, Win32ErrorText("", code));
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            // A COM port held by another program refuses a second opener
            // with "access denied".
            return Probe(PortState::InUse, Win32ErrorText("", code));
        default:
            return Probe(PortState::Unusable, Win32ErrorText("", code));
        }
    }
    // Opened only to see whether it can be; nothing to recover on failure.
    CloseHandle(handle);
    return Probe(PortState::Free);
}

// A COM port's name is no path that disappears with its adapter.
bool PortGone(const std::string &) { return false; }

}  // namespace kormelt::tool
