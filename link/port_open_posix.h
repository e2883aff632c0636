// How a serial port is opened and claimed on POSIX systems. The library's
// port and a host program that probes ports both open them this way, so
// that a port the probe finds free is one the library can open.
#pragma once

#include <fcntl.h>

namespace kormelt {

// Read and write; never the controlling terminal of this process; reads
// and writes that return at once (the waits are the port's own, with poll);
// not inherited by a program started meanwhile.
constexpr int PORT_OPEN_FLAGS = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

// The calls the recipe makes. The library hands in those of its table of
// platform calls, so that its tests can fail each one; others take
// PORT_OPEN_SYSTEM_CALLS.
struct PortOpenCalls {
    int (*open)(const char *path, int flags) = nullptr;
    int (*fcntl)(int fd, int command, int argument) = nullptr;
    int (*flock)(int fd, int operation) = nullptr;
    int (*close)(int fd) = nullptr;
};

// The lowest descriptor a port may keep: 0, 1 and 2 are the standard
// streams. A host that closed one of them would otherwise get the port in
// its place, and its own printf would go to the device.
constexpr int FIRST_PORT_DESCRIPTOR = 3;

extern const PortOpenCalls PORT_OPEN_SYSTEM_CALLS;

// Moves fd off the standard streams' descriptors (fcntl), closing the low
// one either way; the port's sockets take the same care as its devices.
// -1 with errno set when no higher one could be had.
int KeepAboveStandardStreams(int fd, const PortOpenCalls &calls);

enum class PortOpenStep { None, Open, Claim };

struct PortOpenResult {
    int fd;               // open and claimed; -1 when a step failed
    PortOpenStep failed;  // the step that failed, None when fd is open
    int error;            // errno of the step that failed, 0 otherwise
};

// Opens path with PORT_OPEN_FLAGS (again when a signal interrupts the open),
// moves it to a descriptor from FIRST_PORT_DESCRIPTOR up if it got a lower
// one, and claims it with an exclusive flock that does not wait: a port
// another program holds is refused at once, and the descriptor holds it
// against others until it is closed. Nothing stays open when a step fails
// (a failed move counts as a failed open). Keeping out the programs that
// take no lock (TIOCEXCL) is the library port's own next step, never the
// recipe's: a probe that closes at once must not leave a device exclusive.
PortOpenResult OpenClaimedPort(const char *path, const PortOpenCalls &calls);

}  // namespace kormelt
