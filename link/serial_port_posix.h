// Internals of the POSIX serial port, shared only with its tests: the port
// record, and the table of platform calls the port makes. Every call goes
// through PosixCall, so a test can make any one of them fail, or watch what
// the port asks of the system, by replacing one entry and restoring
// POSIX_REAL_CALLS afterwards. Nothing here is exported from the library.
#pragma once

#include <cstddef>
#include <cstdint>

#include <linux/serial.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

#include "link/monotonic_posix.h"
#include "link/remote_connect_posix.h"
#include "link/rfc2217_client.h"
#include "link/serial_port.h"

namespace kormelt {

// Bytes taken from the driver in one read and handed out one at a time:
// a reply costs one read call instead of one per byte. Bytes past the end
// of a reply wait here for the next receive, as they would in the driver.
constexpr size_t PORT_RX_BUFFER_BYTES = 256;

// What is at the other end of a port's descriptor.
enum class PortLine {
    Device,   // a serial device (or a pseudo-terminal)
    Socket,   // a TCP connection carrying the device's bytes as they are
    Rfc2217,  // a TCP connection to a telnet serial server (remote_posix.h)
};

struct PortRecord {
    int handle;         // open device or connected socket, never 0, 1 or 2; -1 until open
    uint32_t tag;       // PORT_TAG_LIVE or PORT_TAG_DEAD
    uint32_t number;    // n of COMn
    termios found;      // as the port was before open; close puts it back
    bool exclusive;     // TIOCEXCL taken: nobody else may open the device; dropped before close
    bool low_latency;   // open set ASYNC_LOW_LATENCY; close puts serial_found back
    serial_struct serial_found;  // the driver's serial settings before open, when low_latency
    size_t rx_next;     // next byte of rx to hand out
    size_t rx_count;    // bytes of rx received
    bool wrote;         // written to since the last wait for bytes
    uint8_t rx[PORT_RX_BUFFER_BYTES];
    PortLine line;
    Rfc2217Client telnet;  // Rfc2217 only: the conversation with the server
};

// Every platform call of the port, named once: X(name, system, result,
// parameters). The table's members and the real table, which holds system
// for each, come from this list. The variadic calls (open, fcntl, ioctl)
// take the one argument form the port uses, through wrappers beside the real
// table; ioctl's int is the modem lines' (null for the requests that take
// none), serial_ioctl is the same call for the driver's serial settings. The
// socket and lookup calls serve the ports on the network; those that connect
// are the connection's own list, which the table holds too.
#define KORMELT_SERIAL_CALLS(X)                                                                           \
    X(open, OpenDevice, int, (const char *path, int flags))                                               \
    X(flock, ::flock, int, (int fd, int operation))                                                       \
    X(tcflush, ::tcflush, int, (int fd, int queues))                                                      \
    X(tcgetattr, ::tcgetattr, int, (int fd, termios *settings))                                           \
    X(tcsetattr, ::tcsetattr, int, (int fd, int when, const termios *settings))                           \
    X(cfsetispeed, ::cfsetispeed, int, (termios * settings, speed_t speed))                               \
    X(cfsetospeed, ::cfsetospeed, int, (termios * settings, speed_t speed))                               \
    X(ioctl, DeviceControl, int, (int fd, unsigned long request, int *argument))                          \
    X(serial_ioctl, SerialControl, int, (int fd, unsigned long request, serial_struct *argument))         \
    X(read, ::read, ssize_t, (int fd, void *buffer, size_t count))                                        \
    X(write, ::write, ssize_t, (int fd, const void *buffer, size_t count))                                \
    X(malloc, ::malloc, void *, (size_t size))                                                            \
    X(free, ::free, void, (void *memory))                                                                 \
    X(setsockopt, ::setsockopt, int, (int fd, int level, int name, const void *value, socklen_t length))  \
    X(send, ::send, ssize_t, (int fd, const void *buffer, size_t count, int flags))                       \
    X(recv, ::recv, ssize_t, (int fd, void *buffer, size_t count, int flags))                             \
    X(shutdown, ::shutdown, int, (int fd, int how))

#define KORMELT_POSIX_CALLS(X) KORMELT_SERIAL_CALLS(X) KORMELT_REMOTE_CONNECT_CALLS(X)

struct PosixCalls {
#define KORMELT_POSIX_CALL_MEMBER(name, system, result, parameters) result(*name) parameters = nullptr;
    KORMELT_POSIX_CALLS(KORMELT_POSIX_CALL_MEMBER)
#undef KORMELT_POSIX_CALL_MEMBER
};

extern const PosixCalls POSIX_REAL_CALLS;
extern PosixCalls PosixCall;  // starts as POSIX_REAL_CALLS

// The port's time and its bounded write, for the network ports of
// remote_posix.h, which keep the same limits as a device.
constexpr int64_t PORT_NS_PER_MS = MONOTONIC_NS_PER_MS;
// Monotonic time in nanoseconds; false when the clock cannot be read.
bool PortNowNs(int64_t *now);
// A poll() timeout for the time left, rounded up so that a wait never ends
// before its deadline.
int PortPollTimeoutMs(int64_t left_ns);
// Writes count bytes to the record's descriptor as room frees up, until
// deadline_ns. False when the line refused a write; *written is the count
// that went out either way.
bool PortWriteBefore(PortRecord *record, const uint8_t *bytes, size_t count, int64_t deadline_ns, size_t *written);

}  // namespace kormelt
