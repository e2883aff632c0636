#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "link/port_name.h"
#include "protocol/protocol.h"
#include "tools/common/file_kind_posix.h"
#include "tools/common/replace_file.h"
#include "tools/kormelt/platform.h"
#include "tools/kormelt/port_scan.h"

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

// Under /dev/null, which is no directory, so opening it fails at once on
// every system.
constexpr char NO_PORT_PATH[] = "/dev/null/no-port";
// Where the port scan looks for /dev and /sys; a test points it at a tree of
// its own.
constexpr char SCAN_ROOT_VARIABLE[] = "KORMELT_SCAN_ROOT";
constexpr char SCAN_ROOT_DEFAULT[] = "/";

constexpr size_t READ_CHUNK_BYTES = 64 * 1024;
constexpr mode_t PRIVATE_COPY_MODE = 0400;  // nobody writes it once it is made
constexpr char PRIVATE_COPY_NAME[] = "/image";

// Where each COMn came from, as set by MapPorts or PointSearchAtDevice;
// empty until one of them ran.
std::array<std::string, SEARCH_LAST_PORT + 1> g_port_source;
std::vector<std::string> g_left_over;

std::string VariableName(uint32_t n) {
    char variable[PORT_VARIABLE_CAPACITY];
    PortVariableName(n, variable);
    return variable;
}

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

bool MapPorts(std::string *error) {
    const char *root_value = std::getenv(SCAN_ROOT_VARIABLE);
    const std::string root = root_value != nullptr && *root_value != '\0' ? root_value : SCAN_ROOT_DEFAULT;
    std::array<std::string, SEARCH_LAST_PORT + 1> device;
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        if (const char *value = PortVariableValue(n)) {
            device[n] = value;
            g_port_source[n] = VariableName(n);
        }
    }
    uint32_t n = SEARCH_FIRST_PORT;
    for (const FoundPort &port : FindSerialPorts(root)) {
        bool named = false;  // the user already gave it a port of its own
        for (uint32_t k = SEARCH_FIRST_PORT; k <= SEARCH_LAST_PORT; ++k) {
            named = named || device[k] == port.device;
        }
        if (named) {
            continue;
        }
        while (n <= SEARCH_LAST_PORT && !device[n].empty()) {
            ++n;
        }
        if (n > SEARCH_LAST_PORT) {
            g_left_over.push_back(port.device + " (" + port.source + ")");
            continue;
        }
        device[n] = port.device;
        g_port_source[n] = port.source;
    }
    for (uint32_t k = SEARCH_FIRST_PORT; k <= SEARCH_LAST_PORT; ++k) {
        if (device[k].empty()) {
            device[k] = NO_PORT_PATH;
            g_port_source[k] = "no serial device found for it";
        }
        if (setenv(VariableName(k).c_str(), device[k].c_str(), 1) != 0) {
            *error = SystemError("cannot set " + VariableName(k), errno);
            return false;
        }
    }
    return true;
}

std::string PortDevice(uint32_t n) {
    char name[POSIX_PORT_NAME_CAPACITY];
    // A name that does not fit is one the library refuses to open; what
    // stands in its place is opened by nobody either.
    return PosixPortName(n, name, sizeof name) ? name : NO_PORT_PATH;
}

std::string PortDeviceSource(uint32_t n) {
    if (n >= SEARCH_FIRST_PORT && n <= SEARCH_LAST_PORT && !g_port_source[n].empty()) {
        return g_port_source[n];
    }
    return PortVariableValue(n) != nullptr ? VariableName(n) : "default";
}

std::vector<std::string> PortsLeftOver() { return g_left_over; }

PortProbe ProbePort(const std::string &device) {
    // Anything but a character device is no serial port, and opening it
    // could block (a FIFO) or mean nothing: it is judged unopened.
    struct stat info {};
    if (stat(device.c_str(), &info) != 0) {
        const int e = errno;
        return {e == ENOENT || e == ENOTDIR ? PortState::Missing : PortState::Unusable, std::strerror(e)};
    }
    if (!S_ISCHR(info.st_mode)) {
        return {PortState::NotTerminal, PathKindText(PathKindOf(info.st_mode))};
    }
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        switch (e) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
            return {PortState::Missing, std::strerror(e)};
        case EACCES:
        case EPERM:
            return {PortState::NoAccess, std::strerror(e)};
        case EBUSY:
            return {PortState::InUse, std::strerror(e)};
        default:
            return {PortState::Unusable, std::strerror(e)};
        }
    }
    PortProbe probe{PortState::Free, ""};
    if (isatty(fd) != 1) {
        probe = {PortState::NotTerminal, PathKindText(PathKind::NoTerminalDevice)};
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        probe = e == EWOULDBLOCK ? PortProbe{PortState::InUse, "locked by another program"}
                                 : PortProbe{PortState::Unusable, std::strerror(e)};
    }
    // Closing drops the lock; there is nothing to recover if it fails.
    close(fd);
    return probe;
}

std::string SearchHint() {
    return "If the device is on another path, run with --port PATH, or set KORMELT_COM<n>=PATH to make it "
           "COMn; 'kormelt ports' shows which devices were found";
}

bool PointSearchAtDevice(const std::string &device, std::string *error) {
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        const bool first = n == SEARCH_FIRST_PORT;
        if (setenv(VariableName(n).c_str(), first ? device.c_str() : NO_PORT_PATH, 1) != 0) {
            *error = SystemError("cannot set " + VariableName(n), errno);
            return false;
        }
        g_port_source[n] = first ? "--port" : "left out by --port";
    }
    return true;
}

bool SameFile(const std::string &a, const std::string &b) {
    struct stat first {};
    struct stat second {};
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

ReadOutcome ReadRegularFile(const std::string &path, size_t max_bytes, std::vector<uint8_t> *out,
                            std::string *error) {
    // Judged by name first, so that a FIFO or a device is never opened.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        *error = SystemError("cannot open " + path, errno);
        return ReadOutcome::Unreadable;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = NotRegularText(path, PathKindOf(info.st_mode));
        return ReadOutcome::NotRegular;
    }
    if (static_cast<uintmax_t>(info.st_size) > max_bytes) {
        return ReadOutcome::TooLarge;
    }
    // Non-blocking and without a controlling terminal, in case something
    // else took the name meanwhile; the descriptor is judged again.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = SystemError("cannot open " + path, errno);
        return ReadOutcome::Unreadable;
    }
    ReadOutcome outcome = ReadOutcome::Ok;
    if (fstat(fd, &info) != 0) {
        *error = SystemError("cannot read " + path, errno);
        outcome = ReadOutcome::Unreadable;
    } else if (!S_ISREG(info.st_mode)) {
        *error = NotRegularText(path, PathKindOf(info.st_mode));
        outcome = ReadOutcome::NotRegular;
    }
    out->clear();
    std::vector<uint8_t> chunk(READ_CHUNK_BYTES);
    while (outcome == ReadOutcome::Ok) {
        if (CancelRequested()) {
            outcome = ReadOutcome::Cancelled;
            break;
        }
        const ssize_t got = read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *error = SystemError("cannot read " + path, errno);
            outcome = ReadOutcome::Unreadable;
            break;
        }
        if (got == 0) {
            break;
        }
        // The file may have grown since it was measured.
        if (out->size() + static_cast<size_t>(got) > max_bytes) {
            outcome = ReadOutcome::TooLarge;
            break;
        }
        out->insert(out->end(), chunk.begin(), chunk.begin() + got);
    }
    close(fd);  // opened for reading only: nothing to lose on close
    return outcome;
}

bool MakePrivateCopy(const std::vector<uint8_t> &bytes, std::string *path, std::string *error) {
    // mkdtemp makes the directory for its owner alone.
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kormelt-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        *error = SystemError("cannot make a private copy of the image in " + ParentDirectory(dir), errno);
        return false;
    }
    const std::string file = dir + PRIVATE_COPY_NAME;
    // The directory is its owner's alone, so the file is safe from others
    // while it is written; then it is made read-only for its owner too.
    std::string reason;
    if (!WriteFileReplacing(file, bytes, &reason)) {
        *error = "cannot make a private copy of the image (" + reason + ")";
        RemovePrivateCopy(file);
        return false;
    }
    if (chmod(file.c_str(), PRIVATE_COPY_MODE) != 0) {
        *error = SystemError("cannot make the private copy " + file + " read-only", errno);
        RemovePrivateCopy(file);
        return false;
    }
    *path = file;
    return true;
}

void RemovePrivateCopy(const std::string &path) {
    // Both may fail only if the copy was never made or is gone already;
    // there is nothing further to do about either.
    (void)unlink(path.c_str());
    (void)rmdir(ParentDirectory(path).c_str());
}

}  // namespace kormelt::tool
