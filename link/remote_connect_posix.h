// How a port on the network is reached: a TCP connection to its server
// within a bound. The library's port and the tool's probe of a port both
// connect this way, so that a server the probe finds reachable is one the
// library reaches.
#pragma once

#include <cstdint>

#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "link/port_url.h"
#include "link/system_call_table.h"

namespace kormelt {

// The lookup of a name and the connection, over all the addresses of the
// host together. A server that is not listening answers at once; this
// bounds one that never answers, and a resolver that never answers.
constexpr uint32_t REMOTE_CONNECT_TIMEOUT_MS = 2000;

// A numeric address (IPv4, or IPv6 in brackets) is taken as it is, and
// "localhost" as 127.0.0.1 and then ::1, without a lookup. Any other host is
// a name, looked up by the system's asynchronous lookup and waited for until
// the bound. A lookup still running then that cannot be cancelled goes on
// inside the system: what it writes to stays allocated until it ends, and
// its completion notice (a thread the system starts) frees it then.
constexpr char REMOTE_LOCAL_HOST[] = "localhost";

// connect and the variadic fcntl in the one form the list below names.
int RemoteSystemConnect(int fd, const sockaddr *address, socklen_t length);
int RemoteSystemFcntl(int fd, int command, int argument);

// The calls the connection makes, X(name, system, result, parameters):
// system is the function the real table holds. The library hands in those
// of its table of platform calls, so that its tests can fail each one; the
// tool takes REMOTE_CONNECT_SYSTEM_CALLS.
#define KORMELT_REMOTE_CONNECT_CALLS(X)                                                                                   \
    X(getaddrinfo, ::getaddrinfo, int, (const char *host, const char *service, const addrinfo *hints, addrinfo **found))  \
    X(freeaddrinfo, ::freeaddrinfo, void, (addrinfo * found))                                                             \
    X(getaddrinfo_a, ::getaddrinfo_a, int, (int mode, gaicb *list[], int count, sigevent *notice))                        \
    X(gai_suspend, ::gai_suspend, int, (const gaicb *const list[], int count, const timespec *timeout))                   \
    X(gai_error, ::gai_error, int, (gaicb * request))                                                                     \
    X(gai_cancel, ::gai_cancel, int, (gaicb * request))                                                                   \
    X(socket, ::socket, int, (int domain, int type, int protocol))                                                        \
    X(connect, RemoteSystemConnect, int, (int fd, const sockaddr *address, socklen_t length))                             \
    X(getsockopt, ::getsockopt, int, (int fd, int level, int name, void *value, socklen_t *length))                       \
    X(poll, ::poll, int, (pollfd * fds, nfds_t count, int timeout_ms))                                                    \
    X(fcntl, RemoteSystemFcntl, int, (int fd, int command, int argument))                                                 \
    X(close, ::close, int, (int fd))                                                                                      \
    X(clock_gettime, ::clock_gettime, int, (clockid_t clock, timespec *now))

struct RemoteConnectCalls {
#define KORMELT_REMOTE_CONNECT_MEMBER(name, system, result, parameters) result(*name) parameters = nullptr;
    KORMELT_REMOTE_CONNECT_CALLS(KORMELT_REMOTE_CONNECT_MEMBER)
#undef KORMELT_REMOTE_CONNECT_MEMBER
};

// The connection's calls taken by name from a larger table of platform calls
// that holds each of them, as the library's does.
template <typename Table>
RemoteConnectCalls RemoteConnectCallsOf(const Table &table) {
    RemoteConnectCalls calls;
#define KORMELT_REMOTE_CONNECT_TAKE(name, system, result, parameters) calls.name = table.name;
    KORMELT_REMOTE_CONNECT_CALLS(KORMELT_REMOTE_CONNECT_TAKE)
#undef KORMELT_REMOTE_CONNECT_TAKE
    return calls;
}

constexpr RemoteConnectCalls REMOTE_CONNECT_SYSTEM_CALLS =
    KORMELT_SYSTEM_CALL_TABLE(RemoteConnectCalls, KORMELT_REMOTE_CONNECT_CALLS);

enum class RemoteConnectStep {
    None,     // connected
    Address,  // in brackets but no IPv6 address, or a numeric address that could not be read
    Lookup,   // the name could not be looked up, or not within REMOTE_CONNECT_TIMEOUT_MS
    Socket,   // no socket could be had
    Refused,  // the server refused, or the network said it cannot be reached
    Late,     // no answer within REMOTE_CONNECT_TIMEOUT_MS
};

struct RemoteConnectResult {
    int fd;                  // connected, non-blocking, above the standard streams; -1 when a step failed
    RemoteConnectStep failed;
    int error;               // errno of the step that failed, 0 otherwise; for Address and
                             // Lookup an EAI_ code, for Lookup 0 when it did not end within the bound
};

// Looks url's host up when it is a name, and connects to its port, each
// address in turn, all within the one bound. Nothing stays open when it
// fails, and nothing of a lookup it gave up on stays allocated once that
// lookup ends.
RemoteConnectResult ConnectRemote(const PortUrl &url, const RemoteConnectCalls &calls);

}  // namespace kormelt
