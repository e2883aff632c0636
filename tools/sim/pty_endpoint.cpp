#include "tools/sim/pty_endpoint.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "link/line_speed_posix.h"

namespace kormelt::sim {

namespace {

constexpr size_t PTY_NAME_CAPACITY = 128;
constexpr size_t LINK_TARGET_CAPACITY = 256;

std::string ErrnoText(const std::string &what) { return what + ": " + std::strerror(errno); }

// Closes *fd if open. Nothing can be done about a failing close of a line
// that is being dropped.
void CloseFd(int *fd) {
    if (*fd >= 0) {
        static_cast<void>(close(*fd));
        *fd = -1;
    }
}

}  // namespace

PtyEndpoint::~PtyEndpoint() { Close(); }

bool PtyEndpoint::Open(std::string *error) {
    const std::string &link_path = wanted_link_;
    auto fail = [&](const std::string &text) {
        *error = text;
        Close();
        return false;
    };
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0) {
        return fail(ErrnoText("posix_openpt"));
    }
    if (grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0) {
        return fail(ErrnoText("grantpt/unlockpt"));
    }
    char name[PTY_NAME_CAPACITY];
    const int name_error = ptsname_r(master_fd_, name, sizeof name);
    if (name_error != 0) {
        errno = name_error;
        return fail(ErrnoText("ptsname_r"));
    }
    slave_path_ = name;

    // Held open for the whole run: the host opens and closes the slave for
    // every search, and the master would see a hang-up between two opens.
    slave_fd_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave_fd_ < 0) {
        return fail(ErrnoText(std::string("open ") + name));
    }
    // Raw from the start: an echoing slave would send every reply back as a
    // request. The host sets its own settings later; they are left alone.
    termios tio{};
    if (tcgetattr(slave_fd_, &tio) != 0) {
        return fail(ErrnoText("tcgetattr"));
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, LINE_SPEED) != 0 || cfsetospeed(&tio, LINE_SPEED) != 0 ||
        tcsetattr(slave_fd_, TCSANOW, &tio) != 0) {
        return fail(ErrnoText("tcsetattr"));
    }

    const int flags = fcntl(master_fd_, F_GETFL);
    if (flags < 0 || fcntl(master_fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
        return fail(ErrnoText("fcntl O_NONBLOCK"));
    }

    if (!link_path.empty()) {
        // Made beside the link and renamed over it, so a host opening the
        // link meanwhile finds either the old target or the new one.
        const std::string temp = link_path + ".new-" + std::to_string(getpid());
        if (unlink(temp.c_str()) != 0 && errno != ENOENT) {
            return fail(ErrnoText("unlink " + temp));
        }
        if (symlink(slave_path_.c_str(), temp.c_str()) != 0) {
            return fail(ErrnoText("symlink " + temp));
        }
        if (rename(temp.c_str(), link_path.c_str()) != 0) {
            const std::string text = ErrnoText("rename to " + link_path);
            // Best effort: the rename already failed.
            static_cast<void>(unlink(temp.c_str()));
            return fail(text);
        }
        link_path_ = link_path;
    }
    return true;
}

void PtyEndpoint::RemoveLink() {
    if (link_path_.empty()) {
        return;
    }
    // Removed only while it still leads to this line: a test may have
    // pointed it at another one meanwhile. A link that cannot be removed
    // leads to a slave nobody serves, which the host sees as a silent port.
    char target[LINK_TARGET_CAPACITY];
    const ssize_t n = readlink(link_path_.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, static_cast<size_t>(n)) == slave_path_) {
        static_cast<void>(unlink(link_path_.c_str()));
    }
    link_path_.clear();
}

void PtyEndpoint::Close() {
    RemoveLink();
    CloseFd(&master_fd_);
    CloseFd(&slave_fd_);
}

void PtyEndpoint::Hangup() {
    // The slave's name is free for the next pseudo-terminal from now on; a
    // link left behind could lead the host to somebody else's line.
    RemoveLink();
    CloseFd(&master_fd_);
    CloseFd(&slave_fd_);
}

PtyEndpoint::Io PtyEndpoint::Read(uint8_t *buffer, size_t capacity, size_t *count, std::string *error) {
    *count = 0;
    const ssize_t n = read(master_fd_, buffer, capacity);
    if (n > 0) {
        *count = static_cast<size_t>(n);
        return Io::Done;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return Io::Again;
    }
    // EIO (or an end of file): no slave open at the moment. The
    // pseudo-terminal stays usable and the host may come back.
    if (n == 0 || errno == EIO) {
        return Io::NoHost;
    }
    *error = ErrnoText("read " + slave_path_ + " master");
    return Io::Failed;
}

PtyEndpoint::Io PtyEndpoint::Write(const uint8_t *bytes, size_t count, size_t *written, std::string *error) {
    *written = 0;
    const ssize_t n = write(master_fd_, bytes, count);
    if (n > 0) {
        *written = static_cast<size_t>(n);
        return Io::Done;
    }
    if (n == 0 || errno == EAGAIN || errno == EINTR) {
        return Io::Again;
    }
    if (errno == EIO) {
        *written = count;
        return Io::NoHost;
    }
    *error = ErrnoText("write " + slave_path_ + " master");
    return Io::Failed;
}

bool PtyEndpoint::Unread(size_t *count, std::string *error) const {
    int queued = 0;
    if (ioctl(slave_fd_, FIONREAD, &queued) != 0) {
        *error = ErrnoText("FIONREAD");
        return false;
    }
    *count = queued > 0 ? static_cast<size_t>(queued) : 0;
    return true;
}

}  // namespace kormelt::sim
