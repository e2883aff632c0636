#include "link/serial_port_posix.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "link/line_speed_posix.h"
#include "link/monotonic_posix.h"
#include "link/new_port_record.h"
#include "link/port_open_posix.h"
#include "link/port_name.h"
#include "link/port_url.h"
#include "link/remote_posix.h"
#include "link/retry_interrupted_posix.h"
#include "link/system_call_table.h"
#include "protocol/status_names.h"

namespace kormelt {

namespace {

int OpenDevice(const char *path, int flags) { return ::open(path, flags); }
int DeviceControl(int fd, unsigned long request, int *argument) { return ::ioctl(fd, request, argument); }
int SerialControl(int fd, unsigned long request, serial_struct *argument) { return ::ioctl(fd, request, argument); }

constexpr PosixCalls REAL_CALLS = KORMELT_SYSTEM_CALL_TABLE(PosixCalls, KORMELT_POSIX_CALLS);

constexpr speed_t PORT_SPEED = LINE_SPEED;
constexpr int MODEM_LINES = TIOCM_DTR | TIOCM_RTS;
constexpr int LOW_LATENCY_FLAG = static_cast<int>(ASYNC_LOW_LATENCY);  // in serial_struct::flags

constexpr int64_t NS_PER_MS = PORT_NS_PER_MS;

// 8N1, no flow control of any kind, no translation of any byte in either
// direction, no echo or signals, and reads that return at once with what is
// waiting. Everything else stays as the driver reported it.
constexpr tcflag_t RAW_IFLAG_OFF =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK;
constexpr tcflag_t RAW_OFLAG_OFF = OPOST;
constexpr tcflag_t RAW_LFLAG_OFF = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
constexpr tcflag_t RAW_CFLAG_MASK = CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD;
constexpr tcflag_t RAW_CFLAG_ON = CS8 | CLOCAL | CREAD;  // within RAW_CFLAG_MASK

void MakeRaw(termios *t) {
    t->c_iflag &= ~RAW_IFLAG_OFF;
    t->c_oflag &= ~RAW_OFLAG_OFF;
    t->c_lflag &= ~RAW_LFLAG_OFF;
    t->c_cflag = (t->c_cflag & ~RAW_CFLAG_MASK) | RAW_CFLAG_ON;
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
}

bool IsRaw(const termios &t) {
    return (t.c_iflag & RAW_IFLAG_OFF) == 0 && (t.c_oflag & RAW_OFLAG_OFF) == 0 &&
           (t.c_lflag & RAW_LFLAG_OFF) == 0 && (t.c_cflag & RAW_CFLAG_MASK) == RAW_CFLAG_ON &&
           t.c_cc[VMIN] == 0 && t.c_cc[VTIME] == 0 && cfgetispeed(&t) == PORT_SPEED &&
           cfgetospeed(&t) == PORT_SPEED;
}

// Puts back the settings the port had before open, so that a port this
// program merely looked at, or failed to set up, is left as it was found
// (a console stays a console). Not examined: the callers are already on a
// path that ends in a close, and a device that is gone refuses it anyway.
void RestoreFound(const PortRecord *record) {
    (void)RetryInterrupted([record] { return PosixCall.tcsetattr(record->handle, TCSANOW, &record->found); });
}

// USB adapters and many UART drivers hold the bytes they received for a
// while before handing them on (an adapter up to its latency timer, 16 ms
// by default), and every exchange waits for its reply before the next
// request: ASYNC_LOW_LATENCY asks the driver to hand them on at once. A
// driver without serial settings (a pseudo-terminal answers ENOTTY, others
// EINVAL) or one that refuses the change (EPERM for an unprivileged user,
// EIO) leaves a port that works as it is, only slower: no failure here ends
// the open.
void LowerLatency(PortRecord *record) {
    const int fd = record->handle;
    serial_struct found{};
    if (RetryInterrupted([fd, &found] { return PosixCall.serial_ioctl(fd, TIOCGSERIAL, &found); }) != 0 ||
        (found.flags & LOW_LATENCY_FLAG) != 0) {
        return;
    }
    serial_struct wanted = found;
    wanted.flags |= LOW_LATENCY_FLAG;
    if (RetryInterrupted([fd, &wanted] { return PosixCall.serial_ioctl(fd, TIOCSSERIAL, &wanted); }) != 0) {
        return;
    }
    record->serial_found = found;
    record->low_latency = true;
}

// Puts back the serial settings that open changed; not examined, like
// RestoreFound.
void RestoreSerial(PortRecord *record) {
    if (!record->low_latency) {
        return;
    }
    (void)RetryInterrupted(
        [record] { return PosixCall.serial_ioctl(record->handle, TIOCSSERIAL, &record->serial_found); });
    record->low_latency = false;
}

// Lets others open the device again. Not examined: it comes just before the
// close, and a device that is gone has nobody left to keep out. Without it,
// a device that another program still holds open would stay exclusive after
// this one closed it.
void Share(PortRecord *record) {
    if (!record->exclusive) {
        return;
    }
    (void)RetryInterrupted([record] { return PosixCall.ioctl(record->handle, TIOCNXCL, nullptr); });
    record->exclusive = false;
}

// Not examined, as everything in close.
void DropLine(int fd, int line) {
    (void)RetryInterrupted([fd, &line] { return PosixCall.ioctl(fd, TIOCMBIC, &line); });
}

// The steps of PortOpen after the device is open and claimed.
int32_t Configure(PortRecord *record) {
    const int fd = record->handle;

    // The kernel's tty queues have fixed sizes, so there is nothing to size
    // here. What matters at this step is to start with both queues empty:
    // bytes an earlier program left on the line must not pass for a reply.
    if (RetryInterrupted([fd] { return PosixCall.tcflush(fd, TCIOFLUSH); }) != 0) {
        return STATUS_PORT_QUEUES;
    }

    // Nor are there driver timeouts: with O_NONBLOCK and VMIN = VTIME = 0 a
    // read or write returns at once, and the time limits are kept by poll().
    // Confirm the non-blocking mode those limits depend on.
    const int flags = PosixCall.fcntl(fd, F_GETFL, 0);
    if (flags < 0 || (flags & O_NONBLOCK) == 0) {
        return STATUS_PORT_TIMEOUTS;
    }

    if (RetryInterrupted([fd, record] { return PosixCall.tcgetattr(fd, &record->found); }) != 0) {
        return STATUS_PORT_STATE;
    }

    termios wanted = record->found;
    MakeRaw(&wanted);
    if (PosixCall.cfsetispeed(&wanted, PORT_SPEED) != 0 ||
        PosixCall.cfsetospeed(&wanted, PORT_SPEED) != 0) {
        return STATUS_PORT_CONFIG;
    }
    if (RetryInterrupted([fd, &wanted] { return PosixCall.tcsetattr(fd, TCSANOW, &wanted); }) != 0) {
        // Some of the changes may have taken even so.
        RestoreFound(record);
        return STATUS_PORT_CONFIG;
    }
    // tcsetattr succeeds when any one of the changes took, so only reading
    // the settings back tells whether all of them did.
    termios applied{};
    if (RetryInterrupted([fd, &applied] { return PosixCall.tcgetattr(fd, &applied); }) != 0 || !IsRaw(applied)) {
        RestoreFound(record);
        return STATUS_PORT_CONFIG;
    }

    // A pseudo-terminal or a bare UART without modem lines refuses the call
    // with ENOTTY or EINVAL: that port works without DTR and RTS.
    int lines = MODEM_LINES;
    if (RetryInterrupted([fd, &lines] { return PosixCall.ioctl(fd, TIOCMBIS, &lines); }) != 0 && errno != ENOTTY &&
        errno != EINVAL) {
        RestoreFound(record);
        return STATUS_PORT_CONFIG;
    }
    LowerLatency(record);
    return STATUS_OK;
}

// Releases a record whose open failed: what the open took of the device
// (its low latency, its exclusive use) is given back, and closing the
// descriptor drops the lock. The close result does not matter: the
// descriptor is gone either way on Linux, and there is nothing left to undo.
void Discard(PortRecord *record) {
    if (record->handle >= 0) {
        RestoreSerial(record);
        Share(record);
        (void)PosixCall.close(record->handle);
    }
    record->handle = -1;
    record->tag = PORT_TAG_DEAD;
    PosixCall.free(record);
}

bool IsLive(const PortRecord *record) { return record != nullptr && record->tag == PORT_TAG_LIVE; }

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// Hands one chunk to the line. A socket never raises SIGPIPE: a server
// that hung up must fail the write, not end the host program.
ssize_t Put(const PortRecord *record, const uint8_t *bytes, size_t count) {
    return record->line == PortLine::Device ? PosixCall.write(record->handle, bytes, count)
                                            : PosixCall.send(record->handle, bytes, count, MSG_NOSIGNAL);
}

// What one look at the line brought.
enum class Took {
    Bytes,     // the device's bytes in rx
    Nothing,   // nothing waited
    Commands,  // only the server's commands came: look again
    Gone,      // the line failed, or the server closed the connection
};

Took Take(PortRecord *record) {
    ssize_t got = 0;
    if (record->line == PortLine::Device) {
        got = RetryInterrupted([record] { return PosixCall.read(record->handle, record->rx, sizeof record->rx); });
        // With VMIN = VTIME = 0 an empty line reads as 0 bytes (or EAGAIN);
        // any other error (EIO once the device is unplugged) ends the read.
        if (got == 0 || (got < 0 && WouldBlock(errno))) {
            return Took::Nothing;
        }
    } else if (record->line == PortLine::Socket) {
        got = RetryInterrupted([record] { return PosixCall.recv(record->handle, record->rx, sizeof record->rx, 0); });
        if (got < 0 && WouldBlock(errno)) {
            return Took::Nothing;
        }
    } else {
        return RemoteTake(record, &record->rx_count) ? (record->rx_count > 0 ? Took::Bytes : Took::Commands)
                                                     : Took::Gone;
    }
    // On a socket 0 bytes is the server's end of the connection.
    if (got <= 0) {
        return Took::Gone;
    }
    record->rx_count = static_cast<size_t>(got);
    return Took::Bytes;
}

}  // namespace

const PosixCalls POSIX_REAL_CALLS = REAL_CALLS;
PosixCalls PosixCall = REAL_CALLS;

bool PortNowNs(int64_t *now) { return MonotonicNs(PosixCall.clock_gettime, now); }

int PortPollTimeoutMs(int64_t left_ns) { return PollTimeoutMs(left_ns); }

int32_t PortOpen(PortRecord **slot, uint32_t n) {
    PortRecord *record = nullptr;
    const int32_t made = NewPortRecord(PosixCall.malloc, n, slot, &record);
    if (made != STATUS_OK) {
        return made;
    }
    record->handle = -1;

    char name[POSIX_PORT_NAME_CAPACITY];
    if (!PosixPortName(n, name, sizeof name)) {
        Discard(record);
        return STATUS_PORT_OPEN;
    }
    // A serial server on the network takes the device's place; a name that
    // looks like a URL but is none opens nothing, as a missing device.
    PortUrl url;
    switch (ParsePortUrl(name, &url)) {
    case PortUrlParse::Path:
        break;
    case PortUrlParse::Bad:
        Discard(record);
        return STATUS_PORT_OPEN;
    case PortUrlParse::Url: {
        const int32_t status = RemoteOpen(record, url);
        if (status != STATUS_OK) {
            Discard(record);
            return status;
        }
        *slot = record;
        return STATUS_OK;
    }
    }
    // Exclusive use: another program holding the port is refused here, and
    // this one holds it against others until close.
    PortOpenCalls calls;
    calls.open = PosixCall.open;
    calls.fcntl = PosixCall.fcntl;
    calls.flock = PosixCall.flock;
    calls.close = PosixCall.close;
    const PortOpenResult opened = OpenClaimedPort(name, calls);
    if (opened.fd < 0) {
        Discard(record);
        return STATUS_PORT_OPEN;
    }
    record->handle = opened.fd;
    record->tag = PORT_TAG_LIVE;
    // The flock claim keeps out only the programs that ask for it; TIOCEXCL
    // makes every further open of the device fail (EBUSY), except a
    // privileged one's, until close. It is taken here and not in the open
    // recipe, which the tool's probe shares: the probe must never leave a
    // device exclusive, and its close would not undo it while another
    // program still has the device open. A device that refuses it keeps
    // the flock claim; one that is no terminal fails the next step anyway.
    record->exclusive =
        RetryInterrupted([&opened] { return PosixCall.ioctl(opened.fd, TIOCEXCL, nullptr); }) == 0;

    const int32_t status = Configure(record);
    if (status != STATUS_OK) {
        Discard(record);
        return status;
    }
    *slot = record;
    return STATUS_OK;
}

int32_t PortClose(PortRecord *record) {
    if (!IsLive(record)) {
        return STATUS_PORT_NOT_OPEN;
    }
    if (record->line != PortLine::Device) {
        RemoteClose(record);
        record->handle = -1;
        record->tag = PORT_TAG_DEAD;
        PosixCall.free(record);
        return STATUS_OK;
    }
    const int fd = record->handle;
    // Close always completes, so no result below is examined: a device that
    // is already gone refuses them all and must still be released.
    //
    // The settings found at open come back first and the modem lines drop
    // after them, DTR and then RTS, so that no change of settings touches a
    // line once it is down. HUPCL is put back as found: it acts only at the
    // last close of the device, where it lowers lines that are down by then.
    // What does act at once is the hang-up speed B0, which lowers both lines
    // together: settings found with it come back after the lines dropped in
    // their order, and then find nothing up.
    const bool found_hung_up = cfgetospeed(&record->found) == B0;
    RestoreSerial(record);
    if (!found_hung_up) {
        RestoreFound(record);
    }
    DropLine(fd, TIOCM_DTR);
    DropLine(fd, TIOCM_RTS);
    if (found_hung_up) {
        RestoreFound(record);
    }
    Share(record);
    (void)PosixCall.flock(fd, LOCK_UN);
    // Not retried on EINTR: Linux releases the descriptor even then.
    (void)PosixCall.close(fd);
    record->handle = -1;
    record->tag = PORT_TAG_DEAD;
    PosixCall.free(record);
    return STATUS_OK;
}

bool PortWrite(PortRecord *record, const uint8_t *bytes, size_t count, size_t *written) {
    *written = 0;
    if (!IsLive(record)) {
        return false;
    }
    int64_t start = 0;
    if (!PortNowNs(&start)) {
        return false;  // a write that cannot be bounded is not started
    }
    const int64_t deadline = start + static_cast<int64_t>(PORT_WRITE_TIMEOUT_MS) * NS_PER_MS;
    record->wrote = true;
    if (record->line == PortLine::Rfc2217) {
        return RemoteWrite(record, bytes, count, deadline, written);
    }
    return PortWriteBefore(record, bytes, count, deadline, written);
}

bool PortWriteBefore(PortRecord *record, const uint8_t *bytes, size_t count, int64_t deadline, size_t *written) {
    // The driver takes what fits at once; the rest goes out as room frees up
    // until the deadline, after which the write is reported short.
    size_t done = 0;
    while (done < count) {
        const ssize_t put = RetryInterrupted([&] { return Put(record, bytes + done, count - done); });
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && !WouldBlock(errno)) {
            *written = done;
            return false;
        }
        int64_t now = 0;
        if (!PortNowNs(&now) || now >= deadline) {
            break;
        }
        // An interrupted wait goes round again with the time left.
        pollfd wait{record->handle, POLLOUT, 0};
        const int ready = PosixCall.poll(&wait, 1, PortPollTimeoutMs(deadline - now));
        if (ready < 0 && errno != EINTR) {
            *written = done;
            return false;
        }
        // Woken without room: the line hung up or failed, and every further
        // write would be refused.
        if (ready > 0 && (wait.revents & POLLOUT) == 0) {
            *written = done;
            return false;
        }
    }
    *written = done;
    return true;
}

int32_t PortReadByte(PortRecord *record, uint8_t *byte_out, uint32_t timeout_ms) {
    if (!IsLive(record)) {
        return STATUS_TIMEOUT;
    }
    if (record->rx_next < record->rx_count) {
        *byte_out = record->rx[record->rx_next++];
        return STATUS_OK;
    }
    int64_t start = 0;
    if (!PortNowNs(&start)) {
        return STATUS_TIMEOUT;
    }
    const int64_t deadline = start + static_cast<int64_t>(timeout_ms) * NS_PER_MS;

    bool woken = false;  // the last poll reported the line ready
    // Right after a request the reply is still on its way and a read would
    // find nothing: the first wait comes before the first read, so that a
    // reply costs one wait and one read. A failed or interrupted wait only
    // leaves the loop to read and wait again, within the same deadline.
    if (record->wrote) {
        record->wrote = false;
        pollfd wait{record->handle, POLLIN, 0};
        woken = PosixCall.poll(&wait, 1, PortPollTimeoutMs(deadline - start)) > 0;
    }
    for (;;) {
        const Took took = Take(record);
        if (took == Took::Bytes) {
            record->rx_next = 1;
            *byte_out = record->rx[0];
            return STATUS_OK;
        }
        if (took == Took::Gone) {
            return STATUS_TIMEOUT;
        }
        // A hung-up line (POLLHUP, POLLERR) reports itself ready for ever and
        // yields nothing: end at once rather than spin until the deadline.
        // Commands of a serial server are no such thing; the deadline alone
        // bounds a server that sends nothing else.
        if (woken && took == Took::Nothing) {
            return STATUS_TIMEOUT;
        }
        int64_t now = 0;
        if (!PortNowNs(&now) || now >= deadline) {
            return STATUS_TIMEOUT;
        }
        // An interrupted wait goes round again with the time left.
        pollfd wait{record->handle, POLLIN, 0};
        const int ready = PosixCall.poll(&wait, 1, PortPollTimeoutMs(deadline - now));
        if (ready < 0 && errno != EINTR) {
            return STATUS_TIMEOUT;
        }
        woken = ready > 0;
    }
}

}  // namespace kormelt
