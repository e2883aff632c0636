#include "tools/sim/tcp_endpoint.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kormelt::sim {

namespace {

constexpr int LISTEN_BACKLOG = 4;  // hosts that may wait while one is served
constexpr size_t ADDRESS_TEXT_CAPACITY = INET6_ADDRSTRLEN;
constexpr unsigned long PORT_LIMIT = 65535;
constexpr size_t PORT_DIGITS_MAX = 5;  // 65535

std::string ErrnoText(const std::string &what) { return what + ": " + std::strerror(errno); }

// Nothing can be done about a failing close of a line being dropped.
void CloseFd(int *fd) {
    if (*fd >= 0) {
        static_cast<void>(close(*fd));
        *fd = -1;
    }
}

}  // namespace

bool SplitTcpAddress(const std::string &address, std::string *host, uint16_t *port) {
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon + 1 == address.size()) {
        return false;
    }
    std::string left = address.substr(0, colon);
    if (left.size() >= 2 && left.front() == '[' && left.back() == ']') {
        left = left.substr(1, left.size() - 2);
    } else if (left.find(':') != std::string::npos) {
        return false;
    }
    const std::string digits = address.substr(colon + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > PORT_DIGITS_MAX) {
        return false;
    }
    const unsigned long value = std::strtoul(digits.c_str(), nullptr, 10);
    if (left.empty() || value > PORT_LIMIT) {
        return false;
    }
    *host = left;
    *port = static_cast<uint16_t>(value);
    return true;
}

TcpEndpoint::~TcpEndpoint() { Close(); }

bool TcpEndpoint::Open(std::string *error) {
    auto fail = [&](const std::string &text) {
        *error = text;
        Close();
        return false;
    };
    std::string host;
    uint16_t port = 0;
    if (!SplitTcpAddress(address_, &host, &port)) {
        return fail("not IPV4:PORT or [IPV6]:PORT: " + address_);
    }
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&storage);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&storage);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
    } else {
        return fail("not a numeric address: " + host);
    }
    listen_fd_ = socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        return fail(ErrnoText("socket"));
    }
    // A test that starts simulators one after the other may reuse a port
    // that a closed one still holds in TIME_WAIT.
    const int on = 1;
    if (setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return fail(ErrnoText("setsockopt SO_REUSEADDR"));
    }
    if (bind(listen_fd_, reinterpret_cast<const sockaddr *>(&storage), length) != 0) {
        return fail(ErrnoText("bind " + address_));
    }
    if (listen(listen_fd_, LISTEN_BACKLOG) != 0) {
        return fail(ErrnoText("listen"));
    }
    sockaddr_storage bound{};
    socklen_t bound_length = sizeof bound;
    if (getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&bound), &bound_length) != 0) {
        return fail(ErrnoText("getsockname"));
    }
    char text[ADDRESS_TEXT_CAPACITY];
    if (bound.ss_family == AF_INET) {
        const auto *b = reinterpret_cast<const sockaddr_in *>(&bound);
        name_ =
            std::string(inet_ntop(AF_INET, &b->sin_addr, text, sizeof text)) + ":" + std::to_string(ntohs(b->sin_port));
    } else {
        const auto *b = reinterpret_cast<const sockaddr_in6 *>(&bound);
        name_ = "[" + std::string(inet_ntop(AF_INET6, &b->sin6_addr, text, sizeof text)) +
                "]:" + std::to_string(ntohs(b->sin6_port));
    }
    return true;
}

void TcpEndpoint::Close() {
    CloseFd(&client_fd_);
    CloseFd(&listen_fd_);
}

void TcpEndpoint::Hangup() { Close(); }

void TcpEndpoint::DropClient() { CloseFd(&client_fd_); }

void TcpEndpoint::Accept() {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return;  // gone again before it was taken, or nobody there: the loop looks again
    }
    client_fd_ = fd;
    // Replies go out byte for byte as paced, never held back to fill a
    // segment. A refusal only slows the replies down.
    const int on = 1;
    static_cast<void>(setsockopt(client_fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on));
}

LineEndpoint::Io TcpEndpoint::Read(uint8_t *buffer, size_t capacity, size_t *count, std::string *error) {
    *count = 0;
    if (client_fd_ < 0) {
        Accept();
        return client_fd_ >= 0 ? Io::Again : Io::NoHost;
    }
    const ssize_t n = recv(client_fd_, buffer, capacity, 0);
    if (n > 0) {
        *count = static_cast<size_t>(n);
        return Io::Done;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return Io::Again;
    }
    // The host closed its end (or reset it): the next one may come.
    if (n == 0 || errno == ECONNRESET || errno == EPIPE || errno == ETIMEDOUT) {
        DropClient();
        return Io::NoHost;
    }
    *error = ErrnoText("recv " + name_);
    return Io::Failed;
}

LineEndpoint::Io TcpEndpoint::Write(const uint8_t *bytes, size_t count, size_t *written, std::string *error) {
    *written = 0;
    if (client_fd_ < 0) {
        *written = count;
        return Io::NoHost;
    }
    const ssize_t n = send(client_fd_, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        *written = static_cast<size_t>(n);
        return Io::Done;
    }
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return Io::Again;
    }
    if (errno == ECONNRESET || errno == EPIPE) {
        DropClient();
        *written = count;
        return Io::NoHost;
    }
    *error = ErrnoText("send " + name_);
    return Io::Failed;
}

bool TcpEndpoint::Unread(size_t *count, std::string *error) const {
    *count = 0;
    if (client_fd_ < 0) {
        return true;
    }
    int queued = 0;
    // What the host has not yet acknowledged: the nearest a socket comes to
    // a terminal's queue of unread bytes.
    if (ioctl(client_fd_, SIOCOUTQ, &queued) != 0) {
        *error = ErrnoText("SIOCOUTQ");
        return false;
    }
    *count = queued > 0 ? static_cast<size_t>(queued) : 0;
    return true;
}

}  // namespace kormelt::sim
