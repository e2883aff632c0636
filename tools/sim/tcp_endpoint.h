// The device's end of the line as a TCP port: the host connects where it
// would open a pseudo-terminal, as to a serial server that passes the
// device's bytes as they are (socket://). One host at a time: a second one
// waits in the queue until the first has gone. Dropping the line (Hangup)
// closes the connection and the port, as pulling a serial server's cable
// would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/sim/line_endpoint.h"

namespace kormelt::sim {

class TcpEndpoint final : public LineEndpoint {
public:
    // address: IPV4:PORT or [IPV6]:PORT, numeric; port 0 takes a free one,
    // which name() tells after Open.
    explicit TcpEndpoint(std::string address) : address_(std::move(address)) {}
    ~TcpEndpoint() override;  // Close()
    TcpEndpoint(const TcpEndpoint &) = delete;
    TcpEndpoint &operator=(const TcpEndpoint &) = delete;

    bool Open(std::string *error) override;
    void Close() override;

    bool connected() const override { return listen_fd_ >= 0; }
    // The connection while there is one, else the listening socket, whose
    // readiness is a host arriving.
    int poll_fd() const override { return client_fd_ >= 0 ? client_fd_ : listen_fd_; }
    const std::string &name() const override { return name_; }

    // NoHost: no host is connected; a waiting one is let in.
    Io Read(uint8_t *buffer, size_t capacity, size_t *count, std::string *error) override;
    Io Write(const uint8_t *bytes, size_t count, size_t *written, std::string *error) override;
    bool Unread(size_t *count, std::string *error) const override;
    void Hangup() override;

private:
    void Accept();
    void DropClient();

    std::string address_;
    std::string name_;
    int listen_fd_ = -1;
    int client_fd_ = -1;
};

// Splits IPV4:PORT or [IPV6]:PORT; false when it is neither.
bool SplitTcpAddress(const std::string &address, std::string *host, uint16_t *port);

}  // namespace kormelt::sim
