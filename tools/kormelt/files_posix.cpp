#include "tools/kormelt/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/common/file_kind_posix.h"
#include "tools/common/replace_file.h"
#include "tools/kormelt/read_chunks.h"

namespace kormelt::tool {
namespace {

constexpr mode_t PRIVATE_COPY_MODE = 0400;  // nobody writes it once it is made
constexpr char PRIVATE_COPY_NAME[] = "/image";

std::string SystemError(const std::string &what, int error_number) { return what + ": " + std::strerror(error_number); }

}  // namespace

bool SameFile(const std::string &a, const std::string &b) {
    struct stat first {};
    struct stat second {};
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

ReadOutcome ReadRegularFile(const std::string &path, size_t max_bytes, std::vector<uint8_t> *out,
                            std::string *error, bool (*stop)()) {
    // Judged by name first, so that a FIFO or a device is never opened.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        *error = SystemError("cannot open " + path, errno);
        return ReadOutcome::Unreadable;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = NotRegularText(path, PathKindOf(info.st_mode));
        return ReadOutcome::NotRegular;
    }
    if (static_cast<uintmax_t>(info.st_size) > max_bytes) {
        return ReadOutcome::TooLarge;
    }
    // Non-blocking and without a controlling terminal, in case something
    // else took the name meanwhile; the descriptor is judged again.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = SystemError("cannot open " + path, errno);
        return ReadOutcome::Unreadable;
    }
    ReadOutcome outcome = ReadOutcome::Ok;
    if (fstat(fd, &info) != 0) {
        *error = SystemError("cannot read " + path, errno);
        outcome = ReadOutcome::Unreadable;
    } else if (!S_ISREG(info.st_mode)) {
        *error = NotRegularText(path, PathKindOf(info.st_mode));
        outcome = ReadOutcome::NotRegular;
    }
    out->clear();
    if (outcome == ReadOutcome::Ok) {
        outcome = ReadChunks(max_bytes, out, stop, [&](uint8_t *buffer, size_t size) -> long long {
            const ssize_t got = read(fd, buffer, size);
            if (got < 0 && errno == EINTR) {
                return READ_INTERRUPTED;
            }
            if (got < 0) {
                *error = SystemError("cannot read " + path, errno);
                return READ_FAILED;
            }
            return got;
        });
    }
    close(fd);  // opened for reading only: nothing to lose on close
    return outcome;
}

bool MakePrivateCopy(const std::vector<uint8_t> &bytes, std::string *path, std::string *error) {
    // mkdtemp makes the directory for its owner alone.
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kormelt-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        *error = SystemError("cannot make a private copy of the image in " + ParentDirectory(dir), errno);
        return false;
    }
    const std::string file = dir + PRIVATE_COPY_NAME;
    // The directory is its owner's alone, so the file is safe from others
    // while it is written; then it is made read-only for its owner too.
    std::string reason;
    if (!WriteFileReplacing(file, bytes, &reason)) {
        *error = "cannot make a private copy of the image (" + reason + ")";
        RemovePrivateCopy(file);
        return false;
    }
    if (chmod(file.c_str(), PRIVATE_COPY_MODE) != 0) {
        *error = SystemError("cannot make the private copy " + file + " read-only", errno);
        RemovePrivateCopy(file);
        return false;
    }
    *path = file;
    return true;
}

void RemovePrivateCopy(const std::string &path) {
    // Both may fail only if the copy was never made or is gone already;
    // there is nothing further to do about either.
    (void)unlink(path.c_str());
    (void)rmdir(ParentDirectory(path).c_str());
}

}  // namespace kormelt::tool
