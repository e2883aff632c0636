// A pseudo-terminal pair whose slave stands in for a serial device; nothing
// of the machine's real ports is touched. The path is empty if the system
// gave none.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 && ptsname(master_) != nullptr) {
            path_ = ptsname(master_);
        }
    }
    ~Pty() {
        if (master_ >= 0) {
            close(master_);
        }
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    const std::string &path() const { return path_; }
    // The far end, for a test that plays the device.
    int master() const { return master_; }

private:
    int master_ = -1;
    std::string path_;
};
