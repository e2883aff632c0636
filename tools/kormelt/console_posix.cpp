#include "tools/kormelt/console.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace kormelt::tool {
namespace {

volatile std::sig_atomic_t g_cancel_requested = 0;

extern "C" void OnCancelSignal(int) { g_cancel_requested = 1; }

// Set when the terminal changed its size; the width is asked for again then.
volatile std::sig_atomic_t g_width_changed = 1;

extern "C" void OnWindowChange(int) { g_width_changed = 1; }

constexpr char NULL_DEVICE[] = "/dev/null";
constexpr char COLUMNS_VARIABLE[] = "COLUMNS";
constexpr long COLUMNS_MAX = 10000;  // more than any terminal; a larger $COLUMNS is taken for garbage

std::string SystemError(const std::string &what, int error_number) { return what + ": " + std::strerror(error_number); }

size_t ColumnsVariable() {
    const char *value = std::getenv(COLUMNS_VARIABLE);
    if (value == nullptr || *value == '\0') {
        return 0;
    }
    char *end = nullptr;
    errno = 0;
    const long columns = std::strtol(value, &end, 10);
    return errno == 0 && *end == '\0' && columns > 0 && columns <= COLUMNS_MAX ? static_cast<size_t>(columns) : 0;
}

}  // namespace

bool KeepStandardStreamsOpen(std::string *error) {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // Those below fd are open by now, so open hands out fd itself. Left
        // open across exec like any standard stream.
        const int opened = open(NULL_DEVICE, fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened < 0) {
            *error = SystemError(std::string("cannot open ") + NULL_DEVICE + " for a closed standard stream", errno);
            return false;
        }
        if (opened != fd) {
            const bool moved = dup2(opened, fd) == fd;
            const int e = errno;
            close(opened);  // a spare descriptor of the null device: nothing to lose
            if (!moved) {
                *error = SystemError(std::string("cannot open ") + NULL_DEVICE + " for a closed standard stream", e);
                return false;
            }
        }
    }
    return true;
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

size_t TerminalColumns() {
    static size_t columns = 0;
    if (g_width_changed != 0) {
        g_width_changed = 0;
        winsize size{};
        // A terminal that knows no size (a serial console, a fresh
        // pseudo-terminal) reports 0 columns; $COLUMNS may know better.
        columns = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : ColumnsVariable();
    }
    return columns;
}

bool WatchTerminalWidth(std::string *error) {
    struct sigaction action {};
    action.sa_handler = OnWindowChange;
    // Restarted, as the cancel signals: a resize must not cut a write short.
    action.sa_flags = SA_RESTART;
    if (sigemptyset(&action.sa_mask) != 0 || sigaction(SIGWINCH, &action, nullptr) != 0) {
        *error = SystemError("cannot watch the terminal's size", errno);
        return false;
    }
    return true;
}

bool InstallCancelHandler(std::string *error) {
    struct sigaction action {};
    action.sa_handler = OnCancelSignal;
    if (sigemptyset(&action.sa_mask) != 0) {
        *error = SystemError("cannot install the Ctrl-C handler", errno);
        return false;
    }
    // Restarted calls keep a signal from cutting short a write of the
    // progress output; the tool makes no call that can block for long (it
    // opens no FIFO or device of its own), and the library's timed waits
    // handle the interruption themselves.
    action.sa_flags = SA_RESTART;
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        if (sigaction(signal_number, &action, nullptr) != 0) {
            *error = SystemError("cannot install the Ctrl-C handler", errno);
            return false;
        }
    }
    return true;
}

bool CancelRequested() { return g_cancel_requested != 0; }

bool KeepRunningWhenOutputBreaks(std::string *error) {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    if (sigemptyset(&action.sa_mask) != 0 || sigaction(SIGPIPE, &action, nullptr) != 0) {
        *error = SystemError("cannot ignore SIGPIPE", errno);
        return false;
    }
    return true;
}

}  // namespace kormelt::tool
