#include "tools/common/replace_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kormelt::tool {
namespace {

std::string SystemError(const std::string &what, int error_number) { return what + ": " + std::strerror(error_number); }

bool WriteAll(int fd, const uint8_t *bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = write(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool WriteFileReplacing(const std::string &path, const std::vector<uint8_t> &bytes, std::string *error) {
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        *error = SystemError("cannot create a file next to " + path, errno);
        return false;
    }
    // mkstemp creates the file for its owner only; the file gets the mode
    // any new file of this user would get.
    const mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0;
    ok = ok && WriteAll(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
    int e = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        *error = SystemError("cannot write " + path, e);
        // The temporary file is ours and useless now; a failure to remove it
        // changes nothing about the error already reported.
        unlink(temp.c_str());
    }
    return ok;
}

}  // namespace kormelt::tool
