#include "tools/common/replace_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/common/file_kind_posix.h"

namespace kormelt::tool {
namespace {

constexpr int SYMLINK_HOPS_MAX = 40;      // as the kernel's own limit for a path
constexpr size_t LINK_TARGET_MAX = 4096;  // bytes, PATH_MAX on Linux

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

// The file a write to path lands in: symlinks followed to their end, which
// need not exist yet. False with a reason when the chain cannot be followed
// or ends in something other than a regular file.
bool OutputTarget(const std::string &path, std::string *target, std::string *error) {
    std::string at = path;
    for (int hops = 0;; ++hops) {
        struct stat info {};
        if (lstat(at.c_str(), &info) != 0) {
            if (errno == ENOENT) {
                *target = at;  // a new file
                return true;
            }
            *error = SystemError("cannot write " + path, errno);
            return false;
        }
        if (!S_ISLNK(info.st_mode)) {
            if (!S_ISREG(info.st_mode)) {
                const PathKind kind = PathKindOf(info.st_mode);
                *error = (at == path ? NotRegularText(path, kind)
                                     : path + " leads to " + at + ", " + PathKindText(kind)) +
                         ": an image is written only as a regular file";
                return false;
            }
            *target = at;
            return true;
        }
        if (hops == SYMLINK_HOPS_MAX) {
            *error = SystemError("cannot write " + path, ELOOP);
            return false;
        }
        char text[LINK_TARGET_MAX];
        const ssize_t length = readlink(at.c_str(), text, sizeof text - 1);
        if (length < 0) {
            *error = SystemError("cannot follow " + at, errno);
            return false;
        }
        const std::string to(text, static_cast<size_t>(length));
        at = to.empty() || to[0] == '/' ? to : ParentDirectory(at) + "/" + to;
    }
}

}  // namespace

bool WriteFileReplacing(const std::string &path, const std::vector<uint8_t> &bytes, std::string *error,
                        bool (*stop)()) {
    std::string target;
    if (!OutputTarget(path, &target, error)) {
        return false;
    }
    std::string temp = target + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        *error = SystemError("cannot create a file next to " + target, errno);
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
    if (ok && stop != nullptr && stop()) {
        ok = false;
        e = ECANCELED;
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
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
