// The device's end of the line, as the request loop sees it: a
// pseudo-terminal (pty_endpoint.h) or a TCP port that one host at a time
// connects to (tcp_endpoint.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kormelt::sim {

class LineEndpoint {
public:
    virtual ~LineEndpoint() = default;

    // Opens the line. False with the reason; whatever was opened is closed.
    virtual bool Open(std::string *error) = 0;
    virtual void Close() = 0;

    // False once the line was dropped.
    virtual bool connected() const = 0;
    // The descriptor the loop waits on for bytes from the host (or, on TCP,
    // for a host to connect) and for room towards it.
    virtual int poll_fd() const = 0;
    // What the host opens: the slave's path, or HOST:PORT.
    virtual const std::string &name() const = 0;

    enum class Io { Done, Again, NoHost, Failed };
    // Reads what the host sent: Done with *count bytes, Again when nothing
    // waits, NoHost when no host is there at the moment (it may come back),
    // Failed with the reason.
    virtual Io Read(uint8_t *buffer, size_t capacity, size_t *count, std::string *error) = 0;
    // Writes towards the host: Done with *count bytes taken, Again when the
    // queue is full, NoHost when nobody is there (the bytes are lost, as on
    // a line nobody listens to), Failed with the reason.
    virtual Io Write(const uint8_t *bytes, size_t count, size_t *written, std::string *error) = 0;
    // Bytes the host has not taken yet; false with the reason when the
    // system does not tell.
    virtual bool Unread(size_t *count, std::string *error) const = 0;

    // Drops the line: unplugged, for good.
    virtual void Hangup() = 0;
};

}  // namespace kormelt::sim
