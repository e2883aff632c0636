// The device's end of the line: the master side of a pseudo-terminal whose
// slave the host opens as its serial port, and an optional symlink to the
// slave. Dropping the line (Hangup) closes both sides and removes the link,
// as unplugging an adapter takes its device node away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include <sys/types.h>

#include "tools/sim/line_endpoint.h"

namespace kormelt::sim {

class PtyEndpoint final : public LineEndpoint {
public:
    // The link, when link_path is not empty, is made at Open.
    explicit PtyEndpoint(std::string link_path) : wanted_link_(std::move(link_path)) {}
    ~PtyEndpoint() override;  // Close()
    PtyEndpoint(const PtyEndpoint &) = delete;
    PtyEndpoint &operator=(const PtyEndpoint &) = delete;

    // Opens the pseudo-terminal, its slave raw, and the link.
    bool Open(std::string *error) override;
    void Close() override;

    bool connected() const override { return master_fd_ >= 0; }
    int poll_fd() const override { return master_fd_; }
    const std::string &name() const override { return slave_path_; }

    // NoHost: no slave is open at the moment.
    Io Read(uint8_t *buffer, size_t capacity, size_t *count, std::string *error) override;
    Io Write(const uint8_t *bytes, size_t count, size_t *written, std::string *error) override;
    bool Unread(size_t *count, std::string *error) const override;

    // Both sides closed, the link removed.
    void Hangup() override;

private:
    void RemoveLink();

    int master_fd_ = -1;
    int slave_fd_ = -1;  // our own, so the host may close and reopen the slave freely
    std::string slave_path_;
    std::string wanted_link_;
    std::string link_path_;  // set while the link is ours
};

}  // namespace kormelt::sim
