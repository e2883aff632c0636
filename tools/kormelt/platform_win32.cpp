#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "tools/kormelt/platform.h"

namespace kormelt::tool {
namespace {

// The console runs control handlers on a thread of its own, so the flag is
// an atomic rather than a signal flag.
std::atomic<bool> g_cancel_requested{false};

// WriteFile takes a 32-bit count; images are far smaller, but the loop
// does not rely on that.
constexpr size_t WRITE_CHUNK_BYTES = 1 << 20;

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        g_cancel_requested = true;
        return TRUE;
    }
    return FALSE;
}

std::string SystemError(const std::string &what, DWORD code) {
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        text, sizeof text, nullptr);
    std::string reason = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
        reason.pop_back();
    }
    return what.empty() ? reason : what + ": " + reason;
}

}  // namespace

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

bool InstallCancelHandler(std::string *error) {
    if (!SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
        *error = SystemError("cannot install the Ctrl-C handler", GetLastError());
        return false;
    }
    return true;
}

bool CancelRequested() { return g_cancel_requested; }

std::string PortDevice(int n) { return "\\\\.\\COM" + std::to_string(n); }

std::string PortDeviceSource(int) { return "fixed"; }

PortProbe ProbePort(const std::string &device) {
    const HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return {PortState::Missing, SystemError("", code)};
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            // A COM port held by another program refuses a second opener
            // with "access denied".
            return {PortState::InUse, SystemError("", code)};
        default:
            return {PortState::Unusable, SystemError("", code)};
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

bool WriteFileReplacing(const std::string &path, const std::vector<uint8_t> &bytes, std::string *error) {
    const std::string temp = path + ".tmp" + std::to_string(GetCurrentProcessId());
    const HANDLE handle =
        CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = SystemError("cannot create a file next to " + path, GetLastError());
        return false;
    }
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const size_t left = bytes.size() - done;
        const DWORD chunk = static_cast<DWORD>(left < WRITE_CHUNK_BYTES ? left : WRITE_CHUNK_BYTES);
        DWORD written = 0;
        ok = WriteFile(handle, bytes.data() + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    DWORD code = ok ? ERROR_SUCCESS : GetLastError();
    if (!CloseHandle(handle) && ok) {
        ok = false;
        code = GetLastError();
    }
    if (ok && !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        code = GetLastError();
    }
    if (!ok) {
        *error = SystemError("cannot write " + path, code);
        // The temporary file is ours and useless now; a failure to remove it
        // changes nothing about the error already reported.
        DeleteFileA(temp.c_str());
    }
    return ok;
}

}  // namespace kormelt::tool
