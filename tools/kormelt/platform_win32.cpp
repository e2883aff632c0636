#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "link/port_name.h"
#include "tools/common/path_kind.h"
#include "tools/common/replace_file.h"
#include "tools/common/win32_error.h"
#include "tools/common/win32_file.h"
#include "tools/kormelt/platform.h"

namespace kormelt::tool {
namespace {

// The console runs control handlers on a thread of its own, so the flag is
// an atomic rather than a signal flag.
std::atomic<bool> g_cancel_requested{false};

constexpr DWORD READ_CHUNK_BYTES = 64 * 1024;
constexpr char NULL_DEVICE[] = "NUL";
constexpr long COLUMNS_MAX = 10000;  // more than any console; a larger $COLUMNS is taken for garbage

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        g_cancel_requested = true;
        return TRUE;
    }
    return FALSE;
}

size_t ColumnsVariable() {
    const char *value = std::getenv("COLUMNS");
    if (value == nullptr || *value == '\0') {
        return 0;
    }
    char *end = nullptr;
    const long columns = std::strtol(value, &end, 10);
    return *end == '\0' && columns > 0 && columns <= COLUMNS_MAX ? static_cast<size_t>(columns) : 0;
}

}  // namespace

bool KeepStandardStreamsOpen(std::string *error) {
    struct Stream {
        DWORD id;
        FILE *file;
        const char *mode;
    };
    for (const Stream &stream : {Stream{STD_INPUT_HANDLE, stdin, "r"}, Stream{STD_OUTPUT_HANDLE, stdout, "w"},
                                 Stream{STD_ERROR_HANDLE, stderr, "w"}}) {
        const HANDLE handle = GetStdHandle(stream.id);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            continue;
        }
        // Started without this handle (by a program without a console, or
        // one that gave none): the stream writes to the null device rather
        // than failing, as on POSIX.
        if (std::freopen(NULL_DEVICE, stream.mode, stream.file) == nullptr) {
            *error = std::string("cannot open ") + NULL_DEVICE + " for a missing standard stream";
            return false;
        }
        const intptr_t opened = _get_osfhandle(_fileno(stream.file));
        if (opened == -1 || !SetStdHandle(stream.id, reinterpret_cast<HANDLE>(opened))) {
            *error = Win32ErrorText(std::string("cannot open ") + NULL_DEVICE + " for a missing standard stream",
                                    GetLastError());
            return false;
        }
    }
    return true;
}

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

size_t TerminalColumns() {
    // Asked for at every call: a console tells no one of a resize.
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
    }
    return ColumnsVariable();
}

bool WatchTerminalWidth(std::string *) { return true; }  // TerminalColumns asks every time

bool InstallCancelHandler(std::string *error) {
    if (!SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
        *error = Win32ErrorText("cannot install the Ctrl-C handler", GetLastError());
        return false;
    }
    return true;
}

bool CancelRequested() { return g_cancel_requested; }

bool KeepRunningWhenOutputBreaks(std::string *) { return true; }  // a broken pipe only fails the write here

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

bool SameFile(const std::string &a, const std::string &b) {
    // Opened for no access at all, which touches no device; directories
    // need the backup flag to be opened.
    auto identify = [](const std::string &path, BY_HANDLE_FILE_INFORMATION *info) {
        const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        const bool known = GetFileInformationByHandle(handle, info) != 0;
        CloseHandle(handle);  // opened without access: nothing to lose
        return known;
    };
    BY_HANDLE_FILE_INFORMATION first{};
    BY_HANDLE_FILE_INFORMATION second{};
    return identify(a, &first) && identify(b, &second) && first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

ReadOutcome ReadRegularFile(const std::string &path, size_t max_bytes, std::vector<uint8_t> *out,
                            std::string *error) {
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        *error = Win32ErrorText("cannot open " + path, GetLastError());
        return ReadOutcome::Unreadable;
    }
    if (!IsDiskFile(path, error)) {
        return ReadOutcome::NotRegular;
    }
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = Win32ErrorText("cannot open " + path, GetLastError());
        return ReadOutcome::Unreadable;
    }
    ReadOutcome outcome = ReadOutcome::Ok;
    const DWORD type = GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        *error = NotRegularText(path, PathKindOfFileType(type));
        outcome = ReadOutcome::NotRegular;
    }
    out->clear();
    std::vector<uint8_t> chunk(READ_CHUNK_BYTES);
    while (outcome == ReadOutcome::Ok) {
        if (CancelRequested()) {
            outcome = ReadOutcome::Cancelled;
            break;
        }
        DWORD got = 0;
        if (!ReadFile(handle, chunk.data(), READ_CHUNK_BYTES, &got, nullptr)) {
            *error = Win32ErrorText("cannot read " + path, GetLastError());
            outcome = ReadOutcome::Unreadable;
            break;
        }
        if (got == 0) {
            break;
        }
        if (out->size() + got > max_bytes) {
            outcome = ReadOutcome::TooLarge;
            break;
        }
        out->insert(out->end(), chunk.begin(), chunk.begin() + got);
    }
    CloseHandle(handle);  // opened for reading only: nothing to lose on close
    return outcome;
}

bool MakePrivateCopy(const std::vector<uint8_t> &bytes, std::string *path, std::string *error) {
    char dir[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathA(sizeof dir, dir);
    if (length == 0 || length > MAX_PATH) {
        *error = Win32ErrorText("cannot find the temporary directory for a private copy of the image", GetLastError());
        return false;
    }
    const std::string file = std::string(dir) + "kormelt-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(GetTickCount64()) + ".img";
    std::string reason;
    if (!WriteFileReplacing(file, bytes, &reason)) {
        *error = "cannot make a private copy of the image (" + reason + ")";
        RemovePrivateCopy(file);
        return false;
    }
    // Nobody writes it once it is made.
    if (!SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_TEMPORARY)) {
        *error = Win32ErrorText("cannot make the private copy " + file + " read-only", GetLastError());
        RemovePrivateCopy(file);
        return false;
    }
    *path = file;
    return true;
}

void RemovePrivateCopy(const std::string &path) {
    // Both fail only if the copy was never made or is gone already; there is
    // nothing further to do about either.
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

}  // namespace kormelt::tool
