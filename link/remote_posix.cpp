#include "link/remote_posix.h"

#include <cerrno>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include "link/remote_connect_posix.h"
#include "link/retry_interrupted_posix.h"
#include "protocol/status_names.h"

namespace kormelt {

namespace {

constexpr size_t RAW_READ_BYTES = PORT_RX_BUFFER_BYTES;  // one read's bytes never decode to more
constexpr size_t DRAIN_CHUNK_BYTES = 256;
// The caller's bytes escaped per write: a frame (FRAME_TX_CAPACITY) of
// 0xFF bytes at worst doubles.
constexpr size_t ESCAPE_CHUNK_BYTES = 512;

int64_t DeadlineAfterMs(int64_t start, uint32_t ms) { return start + static_cast<int64_t>(ms) * PORT_NS_PER_MS; }

// Waits for events on fd until deadline_ns; >0 when one came, 0 when the
// deadline passed or the clock failed, <0 on a failed wait.
int WaitFor(int fd, short events, int64_t deadline_ns, short *revents) {
    for (;;) {
        int64_t now = 0;
        if (!PortNowNs(&now) || now >= deadline_ns) {
            return 0;
        }
        pollfd wait{fd, events, 0};
        const int ready = PosixCall.poll(&wait, 1, PortPollTimeoutMs(deadline_ns - now));
        if (ready < 0 && errno == EINTR) {
            continue;  // again with the time left
        }
        *revents = wait.revents;
        return ready;
    }
}

bool SetOption(int fd, int level, int name, int value) {
    return PosixCall.setsockopt(fd, level, name, &value, sizeof value) == 0;
}

// Each request goes out at once (no waiting to fill a segment), and a
// server that vanished is found within the keep-alive's time even while
// the port only waits.
bool SetSocketOptions(int fd) {
    return SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1) && SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1) &&
           SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, REMOTE_KEEPALIVE_IDLE_S) &&
           SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, REMOTE_KEEPALIVE_INTERVAL_S) &&
           SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, REMOTE_KEEPALIVE_PROBES);
}

// Sends the client's own bytes (offers, settings, answers) whole before
// deadline_ns.
bool SendAll(PortRecord *record, const uint8_t *bytes, size_t count, int64_t deadline_ns) {
    size_t written = 0;
    return PortWriteBefore(record, bytes, count, deadline_ns, &written) && written == count;
}

enum class Heard { Done, Closed, Late };

// Waits and reads during the agreement until done() holds, the server
// closed, or the deadline passed: the server's bytes fed to the
// conversation, its requests answered. What the device says before the
// port is open is dropped, as a device's port drops what it finds queued.
template <typename Done>
Heard ListenUntil(PortRecord *record, int64_t deadline_ns, Done done) {
    while (!done()) {
        short revents = 0;
        const int ready = WaitFor(record->handle, POLLIN, deadline_ns, &revents);
        if (ready == 0) {
            return Heard::Late;
        }
        size_t count = 0;
        if (ready < 0 || !RemoteTake(record, &count)) {
            return Heard::Closed;
        }
    }
    return Heard::Done;
}

int32_t Agree(PortRecord *record, Rfc2217Refusal refusal, int64_t deadline_ns) {
    Rfc2217Client &telnet = record->telnet;
    uint8_t out[RFC2217_SETTINGS_CAPACITY];
    size_t n = telnet.Greeting(out, sizeof out);
    if (!SendAll(record, out, n, deadline_ns)) {
        return STATUS_PORT_OPEN;
    }
    if (ListenUntil(record, deadline_ns, [&telnet] { return telnet.Negotiated(); }) == Heard::Closed) {
        return STATUS_PORT_OPEN;
    }
    // Binary both ways in any case: without it the server would change the
    // device's bytes (a carriage return, a NUL).
    if (!telnet.BinaryAgreed()) {
        return STATUS_PORT_CONFIG;
    }
    if (!telnet.ComPortAgreed()) {
        return refusal == Rfc2217Refusal::Tolerant ? STATUS_OK : STATUS_PORT_CONFIG;
    }
    n = telnet.LineSettings(out, sizeof out);
    if (!SendAll(record, out, n, deadline_ns)) {
        return STATUS_PORT_OPEN;
    }
    switch (ListenUntil(record, deadline_ns, [&telnet] { return telnet.SettingsAnswered(); })) {
    case Heard::Done:
        break;
    case Heard::Closed:
        return STATUS_PORT_OPEN;
    case Heard::Late:
        return STATUS_PORT_CONFIG;
    }
    if (!telnet.SettingsAgreed()) {
        return STATUS_PORT_CONFIG;
    }
    // The server's answers to the modem lines are not awaited: a server in
    // front of a line without them sends none.
    n = Rfc2217Client::ModemLines(true, out, sizeof out);
    return SendAll(record, out, n, deadline_ns) ? STATUS_OK : STATUS_PORT_OPEN;
}

}  // namespace

int32_t RemoteOpen(PortRecord *record, const PortUrl &url) {
    const int fd = ConnectRemote(url, RemoteConnectCallsOf(PosixCall)).fd;
    if (fd < 0) {
        return STATUS_PORT_OPEN;
    }
    record->handle = fd;
    record->tag = PORT_TAG_LIVE;
    record->line = url.kind == RemoteKind::Rfc2217 ? PortLine::Rfc2217 : PortLine::Socket;
    if (!SetSocketOptions(fd)) {
        return STATUS_PORT_TIMEOUTS;
    }
    if (record->line == PortLine::Socket) {
        return STATUS_OK;
    }
    int64_t connected = 0;
    if (!PortNowNs(&connected)) {
        return STATUS_PORT_OPEN;
    }
    const int32_t status = Agree(record, url.refusal, DeadlineAfterMs(connected, REMOTE_NEGOTIATION_TIMEOUT_MS));
    record->rx_count = 0;
    record->rx_next = 0;
    return status;
}

bool RemoteTake(PortRecord *record, size_t *count) {
    *count = 0;
    uint8_t raw[RAW_READ_BYTES];
    const ssize_t got = RetryInterrupted([&] { return PosixCall.recv(record->handle, raw, sizeof raw, 0); });
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return true;
    }
    if (got <= 0) {
        return false;  // 0: the server ended the connection
    }
    uint8_t answer[RFC2217_ANSWER_CAPACITY];
    size_t answer_count = 0;
    record->telnet.Feed(raw, static_cast<size_t>(got), record->rx, count, answer, sizeof answer, &answer_count);
    if (answer_count > 0) {
        // Not examined: an answer that does not go out leaves the server to
        // ask again, and a connection that failed fails the next write.
        (void)PosixCall.send(record->handle, answer, answer_count, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    return true;
}

bool RemoteWrite(PortRecord *record, const uint8_t *bytes, size_t count, int64_t deadline_ns, size_t *written) {
    *written = 0;
    uint8_t escaped[ESCAPE_CHUNK_BYTES];
    while (*written < count) {
        size_t consumed = 0;
        const size_t n = TelnetEscape(bytes + *written, count - *written, escaped, sizeof escaped, &consumed);
        size_t sent = 0;
        const bool ok = PortWriteBefore(record, escaped, n, deadline_ns, &sent);
        if (!ok || sent < n) {
            *written += TelnetEscapedInput(bytes + *written, consumed, sent);
            return ok;
        }
        *written += consumed;
    }
    return true;
}

void RemoteClose(PortRecord *record) {
    const int fd = record->handle;
    int64_t start = 0;
    const bool timed = PortNowNs(&start);
    if (record->line == PortLine::Rfc2217 && timed && record->telnet.ComPortAgreed()) {
        // DTR and then RTS, in the order a device's port drops them. Not
        // examined, as nothing in close is: a server gone has no lines left.
        uint8_t out[RFC2217_MODEM_LINES_BYTES];
        const size_t n = Rfc2217Client::ModemLines(false, out, sizeof out);
        size_t sent = 0;
        (void)PortWriteBefore(record, out, n, DeadlineAfterMs(start, PORT_WRITE_TIMEOUT_MS), &sent);
    }
    // Our end first, then what the server still sends is read until it ends
    // its own: a socket closed with unread bytes is reset, and a reset
    // throws away what had not gone out yet, the lines' commands among it.
    int64_t ended = 0;
    if (timed && PortNowNs(&ended) && PosixCall.shutdown(fd, SHUT_WR) == 0) {
        const int64_t deadline = DeadlineAfterMs(ended, REMOTE_CLOSE_DRAIN_MS);
        uint8_t drained[DRAIN_CHUNK_BYTES];
        short revents = 0;
        while (WaitFor(fd, POLLIN, deadline, &revents) > 0) {
            const ssize_t got = RetryInterrupted([&] { return PosixCall.recv(fd, drained, sizeof drained, 0); });
            if (got <= 0 && !(got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
                break;
            }
        }
    }
    // Not retried on EINTR: Linux releases the descriptor even then.
    (void)PosixCall.close(fd);
}

}  // namespace kormelt
