// The rules that keep the page the technician's own: a secret token in the
// URL that becomes a session cookie, the Host a request names (against DNS
// rebinding), the Origin of every change (against other sites' forms), and
// the address the server listens on. Pure, apart from the token's source.
#pragma once

#include <cstddef>
#include <string>

namespace kormelt::ui {

constexpr size_t TOKEN_BYTES = 16;  // 128 bits from the kernel's random source
constexpr char SESSION_COOKIE[] = "kormelt_session";
constexpr char TOKEN_HEADER[] = "X-Kormelt-Token";

// TOKEN_BYTES random bytes as lowercase hex; false with a reason when the
// kernel gives none.
bool MakeToken(std::string *token, std::string *error);

// Whether given equals secret, in a time that depends on the length of
// secret only, never on where the two first differ.
bool SameSecret(const std::string &given, const std::string &secret);

struct ListenAddress {
    std::string host;  // an IPv4 or IPv6 literal, without brackets
    int port = 0;      // 0: the system picks a free one
    bool ipv6 = false;
    bool loopback = false;
};

// "127.0.0.1:8650", "[::1]:0", "localhost:8650" (as 127.0.0.1) or any other
// address literal with its port; false with a reason otherwise.
bool ParseListen(const std::string &text, ListenAddress *address, std::string *error);

// host:port as a URL writes it, the IPv6 literal in brackets.
std::string HostPort(const ListenAddress &address, int port);

// Whether a Host header names this server: the address it listens on, or
// localhost, 127.0.0.1 or [::1], each with the port it listens on.
bool HostAllowed(const std::string &host, const ListenAddress &address, int port);

// Whether the Origin of a change is the page itself: "http://" and the Host.
bool OriginAllowed(const std::string &origin, const std::string &host);

// The value of the cookie name in a Cookie header, or empty.
std::string CookieValue(const std::string &header, const std::string &name);

}  // namespace kormelt::ui
