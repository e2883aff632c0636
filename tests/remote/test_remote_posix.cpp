// The port on the network against servers on the loopback that the test
// plays in a thread: what goes over the wire, what each failing platform
// call gives, and the bounds of the waits. The calls go through the port's
// table, so any one of them can be made to fail.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/remote_posix.h"
#include "protocol/hex.h"
#include "protocol/protocol.h"
#include "protocol/status_names.h"
#include "tests/support/posix_port_test.h"

namespace {

constexpr uint32_t TEST_PORT = 3;         // the server is COM3
constexpr int SERVER_WAIT_MS = 5000;      // the server's own bound on each wait
constexpr uint32_t SHORT_TIMEOUT_MS = 300;

std::string Hex(const Bytes &bytes) { return kormelt::HexText(bytes.data(), bytes.size()); }

// A listener on 127.0.0.1 and one connection played by a function in a
// thread. The thread ends when the function returns or the test ends.
class Server {
public:
    using Script = std::function<void(Server &, int fd)>;

    explicit Server(Script script, int backlog = 4) : script_(std::move(script)) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(listener_, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, backlog), 0);
        socklen_t length = sizeof address;
        EXPECT_EQ(getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length), 0);
        port_ = ntohs(address.sin_port);
        if (script_) {
            thread_ = std::thread([this] { Serve(); });
        }
    }
    ~Server() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        close(listener_);
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    std::string Url(const char *scheme, const char *suffix = "") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + suffix;
    }
    int listener() const { return listener_; }

    // Bytes until count came, the host closed, the wait ran out, or the
    // server was stopped and nothing more waits.
    Bytes Receive(int fd, size_t count) {
        Bytes got;
        const auto start = Clock::now();
        while (got.size() < count && MsSince(start) < SERVER_WAIT_MS) {
            pollfd wait{fd, POLLIN, 0};
            // A test that is done stops the server, often before this thread
            // ran: what the host sent before that still counts, so it is read
            // until nothing more waits.
            if (poll(&wait, 1, stop_ ? 0 : 50) <= 0) {
                if (stop_) {
                    break;
                }
                continue;
            }
            uint8_t chunk[512];
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }
    // Everything until the host closes.
    Bytes ReceiveAll(int fd) { return Receive(fd, SIZE_MAX); }
    // False when the host is gone, which some tests make it.
    bool Send(int fd, const Bytes &bytes) {
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    bool closed() const { return closed_; }
    bool stopping() const { return stop_; }

private:
    void Serve() {
        pollfd wait{listener_, POLLIN, 0};
        const auto start = Clock::now();
        while (!stop_ && MsSince(start) < SERVER_WAIT_MS) {
            if (poll(&wait, 1, 50) > 0) {
                const int fd = accept(listener_, nullptr, nullptr);
                if (fd >= 0) {
                    script_(*this, fd);
                    close(fd);
                }
                return;
            }
        }
    }

    Script script_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
};

constexpr uint8_t IAC = 0xFF, SB = 0xFA, SE = 0xF0, WILL = 0xFB, DO = 0xFD, DONT = 0xFE;
const Bytes AGREE = {IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, DO, 44};
const Bytes GREETING = {IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44};
const Bytes SETTINGS = {IAC, SB, 44, 1,   0,  0,   0x4B, 0,  IAC, SE, IAC, SB, 44,  2,  8,  IAC, SE, IAC, SB,
                        44,  3,  1,  IAC, SE, IAC, SB,   44, 4,   1,  IAC, SE, IAC, SB, 44, 5,   1,  IAC, SE};
const Bytes ANSWERS = {IAC, SB,  44, 101, 0,  0,   0x4B, 0,  IAC, SE, IAC, SB, 44,  102, 8,  IAC, SE, IAC, SB,
                       44,  103, 1,  IAC, SE, IAC, SB,   44, 104, 1,  IAC, SE, IAC, SB,  44, 105, 1,  IAC, SE};
const Bytes LINES_UP = {IAC, SB, 44, 5, 8, IAC, SE, IAC, SB, 44, 5, 11, IAC, SE};
const Bytes LINES_DOWN = {IAC, SB, 44, 5, 9, IAC, SE, IAC, SB, 44, 5, 12, IAC, SE};

// A good serial server's part up to the open: it agrees, reads the
// settings and answers them, and reads the modem lines.
bool PlayAgreement(Server &server, int fd) {
    EXPECT_TRUE(server.Send(fd, AGREE));
    const Bytes got = server.Receive(fd, GREETING.size() + SETTINGS.size());
    EXPECT_EQ(Hex(got), Hex(GREETING) + Hex(SETTINGS));
    EXPECT_TRUE(server.Send(fd, ANSWERS));
    return Hex(server.Receive(fd, LINES_UP.size())) == Hex(LINES_UP);
}

class RemotePort : public ::testing::Test {
protected:
    void SetUp() override { PosixCall = POSIX_REAL_CALLS; }
    void TearDown() override {
        PosixCall = POSIX_REAL_CALLS;
        unsetenv(PortVariable(TEST_PORT).c_str());
    }
    static int32_t Open(const std::string &url, PortRecord **port) {
        EXPECT_EQ(setenv(PortVariable(TEST_PORT).c_str(), url.c_str(), 1), 0);
        return PortOpen(port, TEST_PORT);
    }
};

TEST_F(RemotePort, SocketBytesPassBothWaysAsTheyAre) {
    Bytes from_host;
    {
        Server server([&](Server &s, int fd) {
            from_host = s.Receive(fd, 4);
            EXPECT_TRUE(s.Send(fd, {0xFF, 0x7E, 0x00}));
            s.ReceiveAll(fd);
        });
        PortRecord *port = nullptr;
        ASSERT_EQ(Open(server.Url("socket"), &port), STATUS_OK);
        const uint8_t request[] = {0x7E, 0xFF, 0xFD, 0x7E};
        size_t written = 0;
        EXPECT_TRUE(PortWrite(port, request, sizeof request, &written));
        EXPECT_EQ(written, sizeof request);
        Bytes reply;
        uint8_t byte = 0;
        while (reply.size() < 3 && PortReadByte(port, &byte, kormelt::REPLY_TIMEOUT_MS) == STATUS_OK) {
            reply.push_back(byte);
        }
        EXPECT_EQ(Hex(reply), "ff7e00");
        EXPECT_EQ(PortClose(port), STATUS_OK);
    }  // the server's thread joined
    EXPECT_EQ(Hex(from_host), "7efffd7e");
}

TEST_F(RemotePort, Rfc2217AgreesSetsTheLineDoublesIacAndDropsTheLinesAtClose) {
    Bytes after_open;
    bool closed = false;
    {
        Server server([&](Server &s, int fd) {
            if (!PlayAgreement(s, fd)) {
                return;
            }
            // The device's reply, with a notice of the modem state and a request
            // for an unknown option in the middle of it.
            EXPECT_TRUE(s.Send(fd, {0x7E, IAC, IAC, IAC, SB, 44, 107, 0x30, IAC, SE, 0x01, IAC, DO, 0x18, 0x7E}));
            after_open = s.ReceiveAll(fd);
            closed = s.closed();
        });
        PortRecord *port = nullptr;
        ASSERT_EQ(Open(server.Url("rfc2217"), &port), STATUS_OK);
        Bytes reply;
        uint8_t byte = 0;
        while (reply.size() < 4 && PortReadByte(port, &byte, kormelt::REPLY_TIMEOUT_MS) == STATUS_OK) {
            reply.push_back(byte);
        }
        EXPECT_EQ(Hex(reply), "7eff017e") << "the device's bytes and nothing else";
        const uint8_t request[] = {0x7E, 0xFF, 0x02, 0x7E};
        size_t written = 0;
        EXPECT_TRUE(PortWrite(port, request, sizeof request, &written));
        EXPECT_EQ(written, sizeof request);
        EXPECT_EQ(PortClose(port), STATUS_OK);
    }
    // The refusal of the unknown option, the request with 0xFF doubled, then
    // DTR and RTS down in that order, and the end of the connection.
    EXPECT_EQ(Hex(after_open), "fffc18" + std::string("7effff027e") + Hex(LINES_DOWN));
    EXPECT_TRUE(closed);
}

// What a failing call gives, and that the port leaves nothing open behind it.
struct Failing {
    std::string call;
    int nth;  // the call of that kind, counted from 1, that fails
    int error;
};
Failing failing;
std::map<std::string, int> calls;
std::set<int> sockets_open;

bool Fails(const char *call) {
    const int n = ++calls[call];
    if (failing.call == call && failing.nth == n) {
        errno = failing.error;
        return true;
    }
    return false;
}

int FailingSocket(int domain, int type, int protocol) {
    const int fd = Fails("socket") ? -1 : POSIX_REAL_CALLS.socket(domain, type, protocol);
    if (fd >= 0) {
        sockets_open.insert(fd);
    }
    return fd;
}
int FailingClose(int fd) {
    sockets_open.erase(fd);
    return POSIX_REAL_CALLS.close(fd);
}
int FailingConnect(int fd, const sockaddr *address, socklen_t length) {
    return Fails("connect") ? -1 : POSIX_REAL_CALLS.connect(fd, address, length);
}
int FailingGetsockopt(int fd, int level, int name, void *value, socklen_t *length) {
    return Fails("getsockopt") ? -1 : POSIX_REAL_CALLS.getsockopt(fd, level, name, value, length);
}
int FailingSetsockopt(int fd, int level, int name, const void *value, socklen_t length) {
    return Fails("setsockopt") ? -1 : POSIX_REAL_CALLS.setsockopt(fd, level, name, value, length);
}
int FailingGetaddrinfo(const char *host, const char *service, const addrinfo *hints, addrinfo **found) {
    return Fails("getaddrinfo") ? EAI_FAIL : POSIX_REAL_CALLS.getaddrinfo(host, service, hints, found);
}
ssize_t FailingSend(int fd, const void *buffer, size_t count, int flags) {
    return Fails("send") ? -1 : POSIX_REAL_CALLS.send(fd, buffer, count, flags);
}
ssize_t FailingRecv(int fd, void *buffer, size_t count, int flags) {
    return Fails("recv") ? -1 : POSIX_REAL_CALLS.recv(fd, buffer, count, flags);
}
int FailingPoll(pollfd *fds, nfds_t count, int timeout_ms) {
    return Fails("poll") ? -1 : POSIX_REAL_CALLS.poll(fds, count, timeout_ms);
}
void *FailingMalloc(size_t size) { return Fails("malloc") ? nullptr : POSIX_REAL_CALLS.malloc(size); }
int FailingClock(clockid_t clock, timespec *now) {
    return Fails("clock_gettime") ? -1 : POSIX_REAL_CALLS.clock_gettime(clock, now);
}

TEST_F(RemotePort, EachFailingCallGivesItsStatusAndLeavesNothingOpen) {
    struct Case {
        const char *scheme;
        Failing fail;
        int32_t status;
    };
    const Case cases[] = {
        {"socket", {"malloc", 1, ENOMEM}, STATUS_NO_MEMORY},
        {"socket", {"clock_gettime", 1, EINVAL}, STATUS_PORT_OPEN},
        {"socket", {"getaddrinfo", 1, 0}, STATUS_PORT_OPEN},
        {"socket", {"socket", 1, EMFILE}, STATUS_PORT_OPEN},
        {"socket", {"connect", 1, ECONNREFUSED}, STATUS_PORT_OPEN},
        {"socket", {"setsockopt", 1, ENOPROTOOPT}, STATUS_PORT_TIMEOUTS},
        {"socket", {"setsockopt", 2, ENOPROTOOPT}, STATUS_PORT_TIMEOUTS},
        {"socket", {"setsockopt", 5, ENOPROTOOPT}, STATUS_PORT_TIMEOUTS},
        {"rfc2217", {"send", 1, EPIPE}, STATUS_PORT_OPEN},       // the greeting
        {"rfc2217", {"send", 2, ECONNRESET}, STATUS_PORT_OPEN},  // the settings
        {"rfc2217", {"send", 3, ECONNRESET}, STATUS_PORT_OPEN},  // the modem lines
        {"rfc2217", {"recv", 1, ECONNRESET}, STATUS_PORT_OPEN},
        {"rfc2217", {"poll", 1, ENOMEM}, STATUS_PORT_OPEN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.scheme) + " " + c.fail.call + " #" + std::to_string(c.fail.nth));
        Server server([](Server &s, int fd) {
            if (s.Send(fd, AGREE) && !s.Receive(fd, GREETING.size() + SETTINGS.size()).empty() && s.Send(fd, ANSWERS)) {
                s.ReceiveAll(fd);
            }
        });
        failing = c.fail;
        calls.clear();
        sockets_open.clear();
        PosixCall.malloc = FailingMalloc;
        PosixCall.clock_gettime = FailingClock;
        PosixCall.getaddrinfo = FailingGetaddrinfo;
        PosixCall.socket = FailingSocket;
        PosixCall.close = FailingClose;
        PosixCall.connect = FailingConnect;
        PosixCall.getsockopt = FailingGetsockopt;
        PosixCall.setsockopt = FailingSetsockopt;
        PosixCall.send = FailingSend;
        PosixCall.recv = FailingRecv;
        PosixCall.poll = FailingPoll;
        PortRecord *port = nullptr;
        EXPECT_EQ(Open(server.Url(c.scheme), &port), c.status);
        EXPECT_EQ(port, nullptr);
        EXPECT_GE(calls[c.fail.call], c.fail.nth) << "the call was made";
        EXPECT_TRUE(sockets_open.empty()) << "a socket stayed open";
        PosixCall = POSIX_REAL_CALLS;
    }
}

// Lookups of a name played by the test, so that none leaves the machine:
// one that never ends (and cannot be cancelled, or can), one that fails,
// one that gives 127.0.0.1. A finished lookup sends its notice at once, as
// the system's does from its own thread.
enum class Resolver { NeverEnds, NeverEndsCancelled, Fails, Loopback };
Resolver resolver = Resolver::Fails;
std::map<const gaicb *, int> lookup_outcome;  // absent: still running
std::vector<std::pair<gaicb *, sigevent>> unended;  // lookups still running, and their notices
std::string asked_name;
int results_freed = 0;

addrinfo *LoopbackResult(const char *service) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    EXPECT_EQ(getaddrinfo("127.0.0.1", service, &hints, &found), 0);
    return found;
}
void SendNotice(const sigevent &notice) { notice.sigev_notify_function(notice.sigev_value); }

int PlayedLookup(int mode, gaicb *list[], int count, sigevent *notice) {
    ++calls["getaddrinfo_a"];
    EXPECT_EQ(mode, GAI_NOWAIT);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(notice->sigev_notify, SIGEV_THREAD);
    asked_name = list[0]->ar_name;
    switch (resolver) {
    case Resolver::NeverEnds:
    case Resolver::NeverEndsCancelled:
        unended.emplace_back(list[0], *notice);
        return 0;
    case Resolver::Fails:
        lookup_outcome[list[0]] = EAI_NONAME;
        break;
    case Resolver::Loopback:
        list[0]->ar_result = LoopbackResult(list[0]->ar_service);
        lookup_outcome[list[0]] = 0;
        break;
    }
    SendNotice(*notice);
    return 0;
}
int PlayedLookupState(gaicb *request) {
    const auto found = lookup_outcome.find(request);
    return found == lookup_outcome.end() ? EAI_INPROGRESS : found->second;
}
int PlayedSuspend(const gaicb *const[], int, const timespec *timeout) {
    std::this_thread::sleep_for(std::chrono::seconds(timeout->tv_sec) + std::chrono::nanoseconds(timeout->tv_nsec));
    return EAI_AGAIN;
}
int PlayedCancel(gaicb *) { return resolver == Resolver::NeverEndsCancelled ? EAI_CANCELED : EAI_NOTCANCELED; }
void CountedFreeaddrinfo(addrinfo *found) {
    ++results_freed;
    POSIX_REAL_CALLS.freeaddrinfo(found);
}

void PlayLookups(Resolver played) {
    resolver = played;
    lookup_outcome.clear();
    unended.clear();
    asked_name.clear();
    results_freed = 0;
    PosixCall.getaddrinfo_a = PlayedLookup;
    PosixCall.gai_error = PlayedLookupState;
    PosixCall.gai_suspend = PlayedSuspend;
    PosixCall.gai_cancel = PlayedCancel;
    PosixCall.freeaddrinfo = CountedFreeaddrinfo;
}

TEST_F(RemotePort, ANameIsLookedUpWithinTheConnectBoundAndNothingOfItStays) {
    constexpr char NAME[] = "device-server.test";
    struct Case {
        const char *what;
        Resolver resolver;
        int32_t status;
    };
    const Case cases[] = {
        {"never ends, cannot be cancelled", Resolver::NeverEnds, STATUS_PORT_OPEN},
        {"never ends, cancelled", Resolver::NeverEndsCancelled, STATUS_PORT_OPEN},
        {"fails", Resolver::Fails, STATUS_PORT_OPEN},
        {"gives 127.0.0.1", Resolver::Loopback, STATUS_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Server server([](Server &s, int fd) { s.ReceiveAll(fd); });
        calls.clear();
        sockets_open.clear();
        PlayLookups(c.resolver);
        PosixCall.socket = FailingSocket;
        PosixCall.close = FailingClose;
        const std::string url = server.Url("socket");
        const std::string named = "socket://" + std::string(NAME) + url.substr(url.rfind(':'));
        PortRecord *port = nullptr;
        const auto start = Clock::now();
        EXPECT_EQ(Open(named, &port), c.status);
        const bool never_ends = c.resolver == Resolver::NeverEnds || c.resolver == Resolver::NeverEndsCancelled;
        if (never_ends) {
            ExpectEndedAtDeadline(start, kormelt::REMOTE_CONNECT_TIMEOUT_MS);
        } else {
            EXPECT_LT(MsSince(start), static_cast<int64_t>(kormelt::REMOTE_CONNECT_TIMEOUT_MS)) << "no waiting";
        }
        EXPECT_EQ(calls["getaddrinfo_a"], 1);
        EXPECT_EQ(asked_name, NAME);
        EXPECT_EQ(calls["socket"], c.status == STATUS_OK ? 1 : 0);
        if (port != nullptr) {
            EXPECT_EQ(PortClose(port), STATUS_OK);
        }
        EXPECT_TRUE(sockets_open.empty()) << "a socket stayed open";
        if (c.resolver == Resolver::NeverEnds) {
            // The lookup given up on ends later, with addresses nobody takes:
            // its notice frees them (and the rest, which a leak check sees).
            ASSERT_EQ(unended.size(), 1u);
            EXPECT_EQ(results_freed, 0) << "freed while the lookup still runs";
            auto &[request, notice] = unended.front();
            request->ar_result = LoopbackResult("1");
            lookup_outcome[request] = 0;
            SendNotice(notice);
        }
        EXPECT_EQ(results_freed, c.resolver == Resolver::Loopback || c.resolver == Resolver::NeverEnds ? 1 : 0);
        PosixCall = POSIX_REAL_CALLS;
    }
}

TEST_F(RemotePort, NamesThatAreNoServerOpenNothing) {
    calls.clear();
    PosixCall.socket = FailingSocket;
    PosixCall.getaddrinfo = FailingGetaddrinfo;
    PlayLookups(Resolver::Fails);
    for (const char *url :
         {"socket://127.0.0.1", "tcp://127.0.0.1:4000", "rfc2217://[::1:4000", "rfc2217://host.invalid:4000"}) {
        SCOPED_TRACE(url);
        PortRecord *port = nullptr;
        EXPECT_EQ(Open(url, &port), STATUS_PORT_OPEN);
        EXPECT_EQ(port, nullptr);
    }
    // The name's lookup fails: nothing is connected to.
    EXPECT_EQ(calls["socket"], 0);
    EXPECT_EQ(calls["getaddrinfo_a"], 1);
}

TEST_F(RemotePort, AConnectionNobodyAnswersEndsAtTheConnectBound) {
    // A listener whose queue is full drops further connection requests
    // without a word, as a host behind a firewall does.
    Server server(nullptr, 0);
    std::vector<int> queued;
    for (int i = 0; i < 8; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ASSERT_EQ(getsockname(server.listener(), reinterpret_cast<sockaddr *>(&address), &length), 0);
        (void)connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        queued.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    PortRecord *port = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(Open(server.Url("socket"), &port), STATUS_PORT_OPEN);
    ExpectEndedAtDeadline(start, kormelt::REMOTE_CONNECT_TIMEOUT_MS);
    for (const int fd : queued) {
        close(fd);
    }
}

TEST_F(RemotePort, AServerThatClosesEndsTheReadAtOnceAndAWriteRaisesNoSignal) {
    Server server([](Server &s, int fd) { s.Receive(fd, 1); });
    PortRecord *port = nullptr;
    ASSERT_EQ(Open(server.Url("socket"), &port), STATUS_OK);
    const uint8_t one = 0x7E;
    size_t written = 0;
    EXPECT_TRUE(PortWrite(port, &one, 1, &written));
    uint8_t byte = 0;
    const auto start = Clock::now();
    EXPECT_EQ(PortReadByte(port, &byte, kormelt::REPLY_TIMEOUT_MS), STATUS_TIMEOUT);
    EXPECT_LT(MsSince(start), static_cast<int64_t>(kormelt::REPLY_TIMEOUT_MS) / 2) << "not the whole timeout";
    // The server is gone: a write fails, sooner or later, and SIGPIPE (its
    // default action ends the process) never comes.
    const uint8_t frame[64] = {};
    bool refused = false;
    for (int i = 0; i < 50 && !refused; ++i) {
        refused = !PortWrite(port, frame, sizeof frame, &written);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(PortClose(port), STATUS_OK);
}

TEST_F(RemotePort, ASilentSocketReadWaitsItsTimeout) {
    Server server([](Server &s, int fd) { s.ReceiveAll(fd); });
    PortRecord *port = nullptr;
    ASSERT_EQ(Open(server.Url("socket"), &port), STATUS_OK);
    uint8_t byte = 0;
    const auto start = Clock::now();
    EXPECT_EQ(PortReadByte(port, &byte, SHORT_TIMEOUT_MS), STATUS_TIMEOUT);
    ExpectEndedAtDeadline(start, SHORT_TIMEOUT_MS);
    EXPECT_EQ(PortClose(port), STATUS_OK);
}

TEST_F(RemotePort, RefusedComPortOptionIsStrictOrTolerantAsTheNameSays) {
    struct Case {
        const char *suffix;
        int32_t status;
    };
    for (const Case &c :
         {Case{"", STATUS_PORT_CONFIG}, Case{"?strict", STATUS_PORT_CONFIG}, Case{"?tolerant", STATUS_OK}}) {
        SCOPED_TRACE(c.suffix);
        Bytes after;
        {
            Server server([&](Server &s, int fd) {
                EXPECT_TRUE(s.Send(fd, {IAC, WILL, 0, IAC, DO, 0, IAC, DONT, 44}));
                after = s.ReceiveAll(fd);
            });
            PortRecord *port = nullptr;
            const auto start = Clock::now();
            EXPECT_EQ(Open(server.Url("rfc2217", c.suffix), &port), c.status);
            EXPECT_LT(MsSince(start), static_cast<int64_t>(kormelt::REMOTE_NEGOTIATION_TIMEOUT_MS)) << "no waiting";
            if (port != nullptr) {
                EXPECT_EQ(PortClose(port), STATUS_OK);
            }
        }
        // No settings asked of a server that refused them, nor lines dropped.
        EXPECT_EQ(Hex(after), Hex(GREETING));
    }
}

TEST_F(RemotePort, AnAgreementThatNeverEndsCostsTheNegotiationBound) {
    Server server([](Server &s, int fd) {
        // Requests of unknown options, one after the other, never an answer to binary.
        for (int i = 0; i < 4000 && !s.stopping() && !s.closed(); ++i) {
            const Bytes request = {IAC, DO, static_cast<uint8_t>(100 + i % 100)};
            if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    PortRecord *port = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(Open(server.Url("rfc2217"), &port), STATUS_PORT_CONFIG);
    ExpectEndedAtDeadline(start, kormelt::REMOTE_NEGOTIATION_TIMEOUT_MS);
}

}  // namespace
