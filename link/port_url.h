// A port that is a serial server on the network rather than a device:
// KORMELT_COM<n> (or the tool's --port) holding rfc2217://HOST:PORT or
// socket://HOST:PORT. Pure text handling, shared by the library's port and
// the tool, so both read a port's name the same way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kormelt {

constexpr char PORT_URL_RFC2217[] = "rfc2217://";  // telnet with the serial line's settings
constexpr char PORT_URL_SOCKET[] = "socket://";    // the device's bytes as they are
constexpr char PORT_URL_STRICT[] = "?strict";      // rfc2217 only: see Rfc2217Refusal
constexpr char PORT_URL_TOLERANT[] = "?tolerant";

// A host name is at most 253 characters; a bracketed IPv6 address with a
// zone is shorter. The final zero included.
constexpr size_t PORT_URL_HOST_CAPACITY = 254;

enum class RemoteKind { Socket, Rfc2217 };

// What an rfc2217 port does when the server refuses to set the line
// (no COM-PORT-OPTION): Strict fails the open with STATUS_PORT_CONFIG, as a
// device that refuses its settings does; Tolerant takes the server's fixed
// settings on trust and goes on. Strict unless the name says ?tolerant.
enum class Rfc2217Refusal { Strict, Tolerant };

struct PortUrl {
    RemoteKind kind = RemoteKind::Socket;
    char host[PORT_URL_HOST_CAPACITY] = {};  // without brackets
    bool bracketed = false;                  // written as [IPv6]
    uint16_t port = 0;                       // 1..65535
    Rfc2217Refusal refusal = Rfc2217Refusal::Strict;
};

enum class PortUrlParse {
    Path,  // no scheme: a device path, for the serial port
    Url,   // *url filled
    Bad,   // a scheme, but not a port this library can use: opens as no port
};

// Reads a port's name. Anything that starts like a URL (letters, then
// "://") is a Url or Bad, never a path, so a mistyped scheme is refused
// rather than opened as a file.
PortUrlParse ParsePortUrl(const char *text, PortUrl *url);

}  // namespace kormelt
