// Internals of the POSIX serial port, shared only with its tests: the port
// record, and the table of platform calls the port makes. Every call goes
// through PosixCall, so a test can make any one of them fail, or watch what
// the port asks of the system, by replacing one entry and restoring
// POSIX_REAL_CALLS afterwards. Nothing here is exported from the library.
#pragma once

#include <cstddef>
#include <cstdint>

#include <poll.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

#include "link/serial_port.h"

namespace kormelt {

// Bytes taken from the driver in one read and handed out one at a time:
// a reply costs one read call instead of one per byte. Bytes past the end
// of a reply wait here for the next receive, as they would in the driver.
constexpr size_t PORT_RX_BUFFER_BYTES = 256;

struct PortRecord {
    int handle;         // open device, never 0, 1 or 2; -1 until open
    uint32_t tag;       // PORT_TAG_LIVE or PORT_TAG_DEAD
    uint32_t number;    // n of COMn
    termios found;      // as the port was before open; close puts it back
    size_t rx_next;     // next byte of rx to hand out
    size_t rx_count;    // bytes of rx received
    bool wrote;         // written to since the last wait for bytes
    uint8_t rx[PORT_RX_BUFFER_BYTES];
};

// The variadic calls (open, fcntl, ioctl) take the one argument form the
// port uses.
struct PosixCalls {
    int (*open)(const char *path, int flags);
    int (*close)(int fd);
    int (*flock)(int fd, int operation);
    int (*fcntl)(int fd, int command, int argument);
    int (*tcflush)(int fd, int queues);
    int (*tcgetattr)(int fd, termios *settings);
    int (*tcsetattr)(int fd, int when, const termios *settings);
    int (*cfsetispeed)(termios *settings, speed_t speed);
    int (*cfsetospeed)(termios *settings, speed_t speed);
    int (*ioctl)(int fd, unsigned long request, int *argument);
    ssize_t (*read)(int fd, void *buffer, size_t count);
    ssize_t (*write)(int fd, const void *buffer, size_t count);
    int (*poll)(pollfd *fds, nfds_t count, int timeout_ms);
    void *(*malloc)(size_t size);
    void (*free)(void *memory);
    int (*clock_gettime)(clockid_t clock, timespec *now);
};

extern const PosixCalls POSIX_REAL_CALLS;
extern PosixCalls PosixCall;  // starts as POSIX_REAL_CALLS

}  // namespace kormelt
