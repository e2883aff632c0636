#include "tools/kormelt/console.h"

#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "tools/common/win32_error.h"

namespace kormelt::tool {
namespace {

// The console runs control handlers on a thread of its own, so the flag is
// an atomic rather than a signal flag.
std::atomic<bool> g_cancel_requested{false};

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

}  // namespace kormelt::tool
