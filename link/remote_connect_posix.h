// How a port on the network is reached: a TCP connection to its server
// within a bound. The library's port and the tool's probe of a port both
// connect this way, so that a server the probe finds reachable is one the
// library reaches.
#pragma once

#include <cstdint>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include "link/port_url.h"

namespace kormelt {

// The connection, over all the addresses of the host together. A server
// that is not listening answers at once; this bounds one that never answers.
constexpr uint32_t REMOTE_CONNECT_TIMEOUT_MS = 2000;

// Names are not looked up: a lookup cannot be bounded without a thread of
// the library's own. The host is taken as a numeric address (IPv4, or IPv6
// in brackets), and "localhost" as 127.0.0.1 and then ::1.
constexpr char REMOTE_LOCAL_HOST[] = "localhost";

// The calls the connection makes. The library hands in those of its table
// of platform calls, so that its tests can fail each one; the tool takes
// REMOTE_CONNECT_SYSTEM_CALLS.
struct RemoteConnectCalls {
    int (*getaddrinfo)(const char *host, const char *service, const addrinfo *hints, addrinfo **found) = nullptr;
    void (*freeaddrinfo)(addrinfo *found) = nullptr;
    int (*socket)(int domain, int type, int protocol) = nullptr;
    int (*connect)(int fd, const sockaddr *address, socklen_t length) = nullptr;
    int (*getsockopt)(int fd, int level, int name, void *value, socklen_t *length) = nullptr;
    int (*poll)(pollfd *fds, nfds_t count, int timeout_ms) = nullptr;
    int (*fcntl)(int fd, int command, int argument) = nullptr;
    int (*close)(int fd) = nullptr;
    int (*clock_gettime)(clockid_t clock, timespec *now) = nullptr;
};

extern const RemoteConnectCalls REMOTE_CONNECT_SYSTEM_CALLS;

enum class RemoteConnectStep {
    None,     // connected
    Address,  // the host is no numeric address (nor localhost)
    Socket,   // no socket could be had
    Refused,  // the server refused, or the network said it cannot be reached
    Late,     // no answer within REMOTE_CONNECT_TIMEOUT_MS
};

struct RemoteConnectResult {
    int fd;                  // connected, non-blocking, above the standard streams; -1 when a step failed
    RemoteConnectStep failed;
    int error;               // errno of the step that failed, 0 otherwise
};

// Connects to url's host and port, each address in turn within the one
// bound. Nothing stays open when it fails.
RemoteConnectResult ConnectRemote(const PortUrl &url, const RemoteConnectCalls &calls);

}  // namespace kormelt
