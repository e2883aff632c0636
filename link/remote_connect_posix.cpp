#include "link/remote_connect_posix.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <new>
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

// Each address in turn until one connects, within the one bound.
RemoteConnectResult ConnectEach(const addrinfo *found, int64_t deadline_ns, const RemoteConnectCalls &calls) {
    RemoteConnectResult result{-1, RemoteConnectStep::Refused, 0};
    for (const addrinfo *a = found; a != nullptr && result.fd < 0; a = a->ai_next) {
        result = ConnectOne(*a, deadline_ns, calls);
    }
    return result;
}

// A numeric address, connected to without a lookup; Address, with the
// EAI_ code, when the host is none of family's (EAI_NONAME: it is a name).
RemoteConnectResult ConnectTo(const char *host, const char *service, int family, int64_t deadline_ns,
                              const RemoteConnectCalls &calls) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int parsed = calls.getaddrinfo(host, service, &hints, &found);
    if (parsed != 0 || found == nullptr) {
        return {-1, RemoteConnectStep::Address, parsed};
    }
    const RemoteConnectResult result = ConnectEach(found, deadline_ns, calls);
    calls.freeaddrinfo(found);
    return result;
}

// Everything an asynchronous lookup writes to or reads from while it runs,
// in one block with two owners: the caller, and the lookup's completion
// notice. A lookup given up on may go on inside the system after the
// caller returns, so the block outlives the caller until the notice comes;
// whichever lets go last frees it, and the result when the caller did not
// take it.
struct NameLookup {
    std::atomic<int> owners{2};
    bool taken = false;  // the caller took request.ar_result; written before it lets go
    void (*freeaddrinfo)(addrinfo *found) = nullptr;
    gaicb request{};
    addrinfo hints{};
    sigevent notice{};
    char host[PORT_URL_HOST_CAPACITY] = {};
    char service[SERVICE_CAPACITY] = {};
};

void LetGo(NameLookup *lookup) {
    // acq_rel: the last owner sees everything the other wrote, taken among it.
    if (lookup->owners.fetch_sub(1, std::memory_order_acq_rel) != 1) {
        return;
    }
    if (!lookup->taken && lookup->request.ar_result != nullptr) {
        lookup->freeaddrinfo(lookup->request.ar_result);
    }
    delete lookup;
}

// The completion notice, on a thread of the system's: the lookup has ended
// and no longer touches the block.
void LookupEnded(sigval value) { LetGo(static_cast<NameLookup *>(value.sival_ptr)); }

// Whether gai_suspend's answer leaves the lookup worth waiting for.
bool WaitGoesOn(int suspended) {
    return suspended == 0 || suspended == EAI_AGAIN || suspended == EAI_INTR || suspended == EAI_ALLDONE;
}

// The lookup of a name, until deadline_ns. 0 and *found (the caller's to
// free with calls.freeaddrinfo) when it ended with addresses, the lookup's
// EAI_ code when it failed; *in_time false when it did not end within the
// bound.
int LookUp(const char *host, const char *service, int64_t deadline_ns, const RemoteConnectCalls &calls,
           addrinfo **found, bool *in_time) {
    *in_time = true;
    NameLookup *lookup = new (std::nothrow) NameLookup;
    if (lookup == nullptr) {
        return EAI_MEMORY;
    }
    lookup->freeaddrinfo = calls.freeaddrinfo;
    // Cannot be cut short: the host came from a field of the same capacity.
    (void)std::snprintf(lookup->host, sizeof lookup->host, "%s", host);
    (void)std::snprintf(lookup->service, sizeof lookup->service, "%s", service);
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->hints.ai_flags = AI_NUMERICSERV;
    lookup->request.ar_name = lookup->host;
    lookup->request.ar_service = lookup->service;
    lookup->request.ar_request = &lookup->hints;
    lookup->notice.sigev_notify = SIGEV_THREAD;
    lookup->notice.sigev_value.sival_ptr = lookup;
    lookup->notice.sigev_notify_function = LookupEnded;
    gaicb *list[] = {&lookup->request};
    const int queued = calls.getaddrinfo_a(GAI_NOWAIT, list, 1, &lookup->notice);
    if (queued != 0) {
        // Never queued: no notice will come.
        LetGo(lookup);
        LetGo(lookup);
        return queued;
    }
    int outcome = calls.gai_error(&lookup->request);
    while (outcome == EAI_INPROGRESS) {
        int64_t now = 0;
        if (!MonotonicNs(calls.clock_gettime, &now) || now >= deadline_ns) {
            break;
        }
        const int64_t left = deadline_ns - now;
        const timespec wait{static_cast<time_t>(left / MONOTONIC_NS_PER_S), static_cast<long>(left % MONOTONIC_NS_PER_S)};
        const gaicb *const waited[] = {&lookup->request};
        const int suspended = calls.gai_suspend(waited, 1, &wait);
        outcome = calls.gai_error(&lookup->request);
        if (outcome == EAI_INPROGRESS && !WaitGoesOn(suspended)) {
            break;  // the wait itself failed: given up on as a lookup out of time
        }
    }
    if (outcome == EAI_INPROGRESS) {
        // A cancelled lookup sends no notice; one that ended meanwhile, or
        // that runs on, does.
        if (calls.gai_cancel(&lookup->request) == EAI_CANCELED) {
            LetGo(lookup);
        }
        LetGo(lookup);
        *in_time = false;
        return EAI_INPROGRESS;
    }
    if (outcome == 0) {
        *found = lookup->request.ar_result;
        lookup->taken = true;
    }
    LetGo(lookup);
    return outcome;
}

// A host that is a name: looked up, then each of its addresses tried, all
// before deadline_ns.
RemoteConnectResult ConnectToName(const char *host, const char *service, int64_t deadline_ns,
                                  const RemoteConnectCalls &calls) {
    addrinfo *found = nullptr;
    bool in_time = true;
    const int looked_up = LookUp(host, service, deadline_ns, calls, &found, &in_time);
    if (looked_up != 0 || found == nullptr) {
        if (found != nullptr) {
            calls.freeaddrinfo(found);
        }
        return {-1, RemoteConnectStep::Lookup, !in_time ? 0 : looked_up != 0 ? looked_up : EAI_NONAME};
    }
    const RemoteConnectResult result = ConnectEach(found, deadline_ns, calls);
    calls.freeaddrinfo(found);
    return result;
}

}  // namespace

int RemoteSystemConnect(int fd, const sockaddr *address, socklen_t length) { return ::connect(fd, address, length); }
int RemoteSystemFcntl(int fd, int command, int argument) { return ::fcntl(fd, command, argument); }

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
    if (url.bracketed) {
        return ConnectTo(url.host, service, AF_INET6, deadline, calls);
    }
    const RemoteConnectResult numeric = ConnectTo(url.host, service, AF_INET, deadline, calls);
    const bool name = numeric.failed == RemoteConnectStep::Address && numeric.error == EAI_NONAME;
    return name ? ConnectToName(url.host, service, deadline, calls) : numeric;
}

}  // namespace kormelt
