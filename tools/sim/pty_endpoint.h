// The device's end of the line: the master side of a pseudo-terminal whose
// slave the host opens as its serial port, and an optional symlink to the
// slave. Dropping the line (Hangup) closes both sides and removes the link,
// as unplugging an adapter takes its device node away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

namespace kormelt::sim {

class PtyEndpoint {
public:
    PtyEndpoint() = default;
    ~PtyEndpoint();  // Close()
    PtyEndpoint(const PtyEndpoint &) = delete;
    PtyEndpoint &operator=(const PtyEndpoint &) = delete;

    // Opens the pseudo-terminal, its slave raw, and the link when link_path
    // is not empty. False with the reason; whatever was opened is closed.
    bool Open(const std::string &link_path, std::string *error);
    void Close();

    // False once the line was dropped.
    bool connected() const { return master_fd_ >= 0; }
    int master_fd() const { return master_fd_; }
    const std::string &slave_path() const { return slave_path_; }

    enum class Io { Done, Again, NoHost, Failed };
    // Reads what the host sent: Done with *count bytes, Again when nothing
    // waits, NoHost when no slave is open at the moment (the host may come
    // back), Failed with the reason.
    Io Read(uint8_t *buffer, size_t capacity, size_t *count, std::string *error);
    // Writes towards the host: Done with *count bytes taken, Again when the
    // queue is full, NoHost when nobody has the slave open (the bytes are
    // lost, as on a line nobody listens to), Failed with the reason.
    Io Write(const uint8_t *bytes, size_t count, size_t *written, std::string *error);
    // Bytes the host has not read yet; false with the reason when the
    // driver does not tell.
    bool Unread(size_t *count, std::string *error) const;

    // Drops the line: both sides closed, the link removed.
    void Hangup();

private:
    void RemoveLink();

    int master_fd_ = -1;
    int slave_fd_ = -1;  // our own, so the host may close and reopen the slave freely
    std::string slave_path_;
    std::string link_path_;  // set while the link is ours
};

}  // namespace kormelt::sim
