#include "link/remote_connect_posix.h"

#include <cerrno>
#include <cstdio>
#include <strings.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include "link/monotonic_posix.h"
#include "link/port_open_posix.h"

namespace kormelt {

namespace {

constexpr char LOOPBACK_V4[] = "127.0.0.1";
constexpr char LOOPBACK_V6[] = "::1";
constexpr size_t SERVICE_CAPACITY = 6;  // "65535" and the final zero

int Connect(int fd, const sockaddr *address, socklen_t length) { return ::connect(fd, address, length); }
int FileControl(int fd, int command, int argument) { return ::fcntl(fd, command, argument); }

RemoteConnectCalls SystemCalls() {
    RemoteConnectCalls calls;
    calls.getaddrinfo = ::getaddrinfo;
    calls.freeaddrinfo = ::freeaddrinfo;
    calls.socket = ::socket;
    calls.connect = Connect;
    calls.getsockopt = ::getsockopt;
    calls.poll = ::poll;
    calls.fcntl = FileControl;
    calls.close = ::close;
    calls.clock_gettime = ::clock_gettime;
    return calls;
}

// The connection in progress on fd, waited for until deadline_ns.
RemoteConnectStep AwaitConnection(int fd, int64_t deadline_ns, const RemoteConnectCalls &calls, int *error) {
    for (;;) {
        int64_t now = 0;
        if (!MonotonicNs(calls.clock_gettime, &now) || now >= deadline_ns) {
            *error = ETIMEDOUT;
            return RemoteConnectStep::Late;
        }
        pollfd wait{fd, POLLOUT, 0};
        const int ready = calls.poll(&wait, 1, PollTimeoutMs(deadline_ns - now));
        if (ready < 0 && errno == EINTR) {
            continue;  // again with the time left
        }
        if (ready < 0) {
            *error = errno;
            return RemoteConnectStep::Refused;
        }
        if (ready == 0) {
            continue;  // the deadline is looked at again above
        }
        int result = 0;
        socklen_t length = sizeof result;
        if (calls.getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) != 0) {
            *error = errno;
            return RemoteConnectStep::Refused;
        }
        *error = result;
        return result == 0 ? RemoteConnectStep::None : RemoteConnectStep::Refused;
    }
}

// One address tried; the connected socket, or -1 with the step that failed.
RemoteConnectResult ConnectOne(const addrinfo &address, int64_t deadline_ns, const RemoteConnectCalls &calls) {
    PortOpenCalls descriptor_calls;
    descriptor_calls.fcntl = calls.fcntl;
    descriptor_calls.close = calls.close;
    const int opened = calls.socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int fd = opened < 0 ? opened : KeepAboveStandardStreams(opened, descriptor_calls);
    if (fd < 0) {
        return {-1, RemoteConnectStep::Socket, errno};
    }
    int error = 0;
    RemoteConnectStep step = RemoteConnectStep::None;
    if (calls.connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        // A connect that a signal interrupts goes on in the background, as
        // one in progress does: both are waited for.
        step = errno == EINPROGRESS || errno == EINTR ? AwaitConnection(fd, deadline_ns, calls, &error)
                                                      : RemoteConnectStep::Refused;
        if (step == RemoteConnectStep::Refused && error == 0) {
            error = errno;
        }
    }
    if (step != RemoteConnectStep::None) {
        // Nothing was sent that closing would lose.
        (void)calls.close(fd);
        return {-1, step, error};
    }
    return {fd, RemoteConnectStep::None, 0};
}

RemoteConnectResult ConnectTo(const char *host, const char *service, int family, int64_t deadline_ns,
                              const RemoteConnectCalls &calls) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (calls.getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) {
        return {-1, RemoteConnectStep::Address, 0};
    }
    RemoteConnectResult result{-1, RemoteConnectStep::Refused, 0};
    for (const addrinfo *a = found; a != nullptr && result.fd < 0; a = a->ai_next) {
        result = ConnectOne(*a, deadline_ns, calls);
    }
    calls.freeaddrinfo(found);
    return result;
}

}  // namespace

const RemoteConnectCalls REMOTE_CONNECT_SYSTEM_CALLS = SystemCalls();

RemoteConnectResult ConnectRemote(const PortUrl &url, const RemoteConnectCalls &calls) {
    int64_t start = 0;
    if (!MonotonicNs(calls.clock_gettime, &start)) {
        return {-1, RemoteConnectStep::Late, errno};
    }
    const int64_t deadline = start + static_cast<int64_t>(REMOTE_CONNECT_TIMEOUT_MS) * MONOTONIC_NS_PER_MS;
    char service[SERVICE_CAPACITY];
    // Cannot be cut short: any port number fits.
    (void)std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(url.port));
    if (!url.bracketed && strcasecmp(url.host, REMOTE_LOCAL_HOST) == 0) {
        const RemoteConnectResult v4 = ConnectTo(LOOPBACK_V4, service, AF_INET, deadline, calls);
        return v4.fd >= 0 ? v4 : ConnectTo(LOOPBACK_V6, service, AF_INET6, deadline, calls);
    }
    return ConnectTo(url.host, service, url.bracketed ? AF_INET6 : AF_INET, deadline, calls);
}

}  // namespace kormelt
