#include "tools/ui/ui_security.h"

#include <arpa/inet.h>
#include <errno.h>
#include <sys/random.h>

#include <cctype>
#include <cstdint>
#include <cstring>

namespace kormelt::ui {
namespace {

constexpr int PORT_MAX = 65535;

std::string Lower(std::string text) {
    for (char &c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Trim(const std::string &text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool IsLoopback(const std::string &host, bool ipv6) {
    if (ipv6) {
        in6_addr address{};
        return inet_pton(AF_INET6, host.c_str(), &address) == 1 && IN6_IS_ADDR_LOOPBACK(&address);
    }
    in_addr address{};
    // 127.0.0.0/8: the first byte in network order.
    return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

}  // namespace

bool MakeToken(std::string *token, std::string *error) {
    unsigned char bytes[TOKEN_BYTES];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = std::string("cannot make the page's token: getrandom: ") + std::strerror(errno);
            return false;
        }
        got += static_cast<size_t>(n);
    }
    static const char DIGITS[] = "0123456789abcdef";
    token->clear();
    for (unsigned char b : bytes) {
        token->push_back(DIGITS[b >> 4]);
        token->push_back(DIGITS[b & 0x0f]);
    }
    return true;
}

bool SameSecret(const std::string &given, const std::string &secret) {
    // Every byte of the secret is compared, against a byte of given or a
    // zero past its end, and a length that differs counts as a difference.
    unsigned diff = given.size() == secret.size() ? 0u : 1u;
    for (size_t k = 0; k < secret.size(); ++k) {
        const unsigned char g = k < given.size() ? static_cast<unsigned char>(given[k]) : 0;
        diff |= static_cast<unsigned>(g ^ static_cast<unsigned char>(secret[k]));
    }
    return diff == 0 && !secret.empty();
}

bool ParseListen(const std::string &text, ListenAddress *address, std::string *error) {
    ListenAddress parsed;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            *error = "--listen " + text + ": an IPv6 address is written [ADDRESS]:PORT";
            return false;
        }
        parsed.host = text.substr(1, close - 1);
        parsed.ipv6 = true;
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            *error = "--listen " + text + ": expected ADDRESS:PORT, such as 127.0.0.1:8650";
            return false;
        }
        parsed.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (Lower(parsed.host) == "localhost") {
            parsed.host = "127.0.0.1";
        }
    }
    unsigned char probe[sizeof(in6_addr)];
    if (inet_pton(parsed.ipv6 ? AF_INET6 : AF_INET, parsed.host.c_str(), probe) != 1) {
        *error = "--listen " + text + ": " + (parsed.host.empty() ? "the address is missing" : "'" + parsed.host +
                 "' is no " + (parsed.ipv6 ? "IPv6" : "IPv4") + " address");
        return false;
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > PORT_MAX) {
        *error = "--listen " + text + ": the port is a number from 0 to 65535 (0 picks a free one)";
        return false;
    }
    parsed.port = std::stoi(port);
    parsed.loopback = IsLoopback(parsed.host, parsed.ipv6);
    *address = parsed;
    return true;
}

std::string HostPort(const ListenAddress &address, int port) {
    return (address.ipv6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(port);
}

bool HostAllowed(const std::string &host, const ListenAddress &address, int port) {
    const std::string given = Lower(Trim(host));
    const std::string suffix = ":" + std::to_string(port);
    for (const std::string &name : {Lower(HostPort(address, port)), "localhost" + suffix, "127.0.0.1" + suffix,
                                    "[::1]" + suffix}) {
        if (given == name) {
            return true;
        }
    }
    return false;
}

bool OriginAllowed(const std::string &origin, const std::string &host) {
    return !host.empty() && Lower(Trim(origin)) == "http://" + Lower(Trim(host));
}

std::string CookieValue(const std::string &header, const std::string &name) {
    size_t start = 0;
    while (start <= header.size()) {
        size_t end = header.find(';', start);
        if (end == std::string::npos) {
            end = header.size();
        }
        const std::string pair = header.substr(start, end - start);
        const size_t equals = pair.find('=');
        if (equals != std::string::npos && Trim(pair.substr(0, equals)) == name) {
            return Trim(pair.substr(equals + 1));
        }
        start = end + 1;
    }
    return "";
}

}  // namespace kormelt::ui
