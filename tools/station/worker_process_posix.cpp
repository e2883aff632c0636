#include "tools/station/worker_process.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kormelt::station {
namespace {

constexpr char NULL_DEVICE[] = "/dev/null";
constexpr char OWN_PROGRAM[] = "/proc/self/exe";
constexpr size_t READ_CHUNK_BYTES = 65536;
constexpr size_t LINE_MAX_BYTES = 1 << 20;  // a worker's line is far shorter; a longer one is cut
// Exit codes of a child that never became a worker (it cannot say why).
constexpr int CHILD_ORPHANED = 126;  // the station died between the fork and the death signal's setting
constexpr int CHILD_NO_EXEC = 127;   // as a shell says of a program it cannot run
constexpr int WORKER_DEATH_SIGNAL = SIGTERM;  // cancels the worker's update, as Ctrl-C would

std::string SystemError(const std::string &what) { return what + ": " + std::strerror(errno); }

}  // namespace

WorkerProcess::~WorkerProcess() { Close(); }

WorkerProcess::WorkerProcess(WorkerProcess &&other) noexcept
    : pid_(std::exchange(other.pid_, -1)), fd_(std::exchange(other.fd_, -1)), pending_(std::move(other.pending_)) {}

WorkerProcess &WorkerProcess::operator=(WorkerProcess &&other) noexcept {
    if (this != &other) {
        Close();
        pid_ = std::exchange(other.pid_, -1);
        fd_ = std::exchange(other.fd_, -1);
        pending_ = std::move(other.pending_);
    }
    return *this;
}

void WorkerProcess::Close() {
    if (fd_ >= 0) {
        close(fd_);  // the read end: nothing to flush
        fd_ = -1;
    }
}

bool WorkerProcess::Start(const std::string &program, const std::vector<std::string> &args, std::string *error) {
    // Everything the child needs is made before the fork: between the fork
    // and the exec it may only make calls that are safe there.
    std::vector<std::string> copies = args;
    std::vector<char *> argv;
    for (std::string &arg : copies) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const int null_fd = open(NULL_DEVICE, O_RDONLY | O_CLOEXEC);
    if (null_fd < 0) {
        *error = SystemError(std::string("cannot open ") + NULL_DEVICE + " for a worker");
        return false;
    }
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        *error = SystemError("cannot make a pipe for a worker");
        close(null_fd);  // unused
        return false;
    }
    const pid_t station = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        *error = SystemError("cannot start a worker");
        close(null_fd);
        close(out[0]);
        close(out[1]);
        return false;
    }
    if (pid == 0) {
        // The death signal is set first, then checked: a station that died
        // before it was set would never send it.
        if (prctl(PR_SET_PDEATHSIG, WORKER_DEATH_SIGNAL) != 0 || getppid() != station) {
            _exit(CHILD_ORPHANED);
        }
        // dup2 leaves the copies open across the exec; the originals close.
        if (dup2(null_fd, STDIN_FILENO) < 0 || dup2(out[1], STDOUT_FILENO) < 0 || dup2(out[1], STDERR_FILENO) < 0) {
            _exit(CHILD_NO_EXEC);
        }
        execv(program.c_str(), argv.data());
        _exit(CHILD_NO_EXEC);
    }
    close(null_fd);  // the child has its copy
    close(out[1]);   // likewise; the pipe ends when the worker's copies close
    const int flags = fcntl(out[0], F_GETFL);
    if (flags < 0 || fcntl(out[0], F_SETFL, flags | O_NONBLOCK) != 0) {
        *error = SystemError("cannot set up a worker's pipe");
        close(out[0]);
        kill(pid, SIGKILL);  // it has not begun its update yet
        int status = 0;
        waitpid(pid, &status, 0);  // reaps it; its status says nothing more
        return false;
    }
    Close();
    pid_ = pid;
    fd_ = out[0];
    pending_.clear();
    return true;
}

bool WorkerProcess::Read(std::vector<std::string> *lines) {
    if (fd_ < 0) {
        return false;
    }
    char chunk[READ_CHUNK_BYTES];
    for (;;) {
        const ssize_t n = read(fd_, chunk, sizeof chunk);
        if (n > 0) {
            pending_.append(chunk, static_cast<size_t>(n));
            size_t newline;
            while ((newline = pending_.find('\n')) != std::string::npos) {
                lines->push_back(pending_.substr(0, newline));
                pending_.erase(0, newline + 1);
            }
            if (pending_.size() > LINE_MAX_BYTES) {
                lines->push_back(pending_.substr(0, LINE_MAX_BYTES));
                pending_.clear();
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;  // all there is for now
        }
        // The end (or a pipe that failed, which ends it as well).
        if (!pending_.empty()) {
            lines->push_back(pending_);
            pending_.clear();
        }
        Close();
        return false;
    }
}

void WorkerProcess::Signal(int signal_number) const {
    if (pid_ > 0) {
        kill(pid_, signal_number);  // fails only when it is gone already, which its reaping will show
    }
}

bool WorkerProcess::Reap(int *wait_status) {
    if (pid_ <= 0) {
        return false;
    }
    pid_t reaped;
    do {
        reaped = waitpid(pid_, wait_status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == pid_) {
        pid_ = -1;
        return true;
    }
    if (reaped < 0) {
        // No such child any more: nothing to learn of how it ended.
        *wait_status = 0;
        pid_ = -1;
        return true;
    }
    return false;
}

bool OwnProgram(std::string *path, std::string *error) {
    char target[PATH_MAX];
    const ssize_t length = readlink(OWN_PROGRAM, target, sizeof target - 1);
    if (length <= 0) {
        *error = SystemError(std::string("cannot find the program to start the workers with (") + OWN_PROGRAM + ")");
        return false;
    }
    *path = std::string(target, static_cast<size_t>(length));
    return true;
}

}  // namespace kormelt::station
