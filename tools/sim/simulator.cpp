#include "tools/sim/simulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <iterator>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "protocol/protocol.h"
#include "tools/common/replace_file.h"

namespace kormelt::sim {

namespace {

constexpr int64_t NS_PER_SECOND = 1000000000;
constexpr int64_t NS_PER_MS = 1000000;
// The master reports a hang-up while no slave is open; it is looked at again
// after this pause instead of in a busy loop.
constexpr int64_t HANGUP_RETRY_NS = 10 * NS_PER_MS;
constexpr size_t READ_CHUNK_BYTES = 512;
constexpr size_t BABBLE_CHUNK_BYTES = 256;
// Before quitting after the restart reply: how long to wait for the host to
// read it, and how often to look.
constexpr int64_t QUIT_DRAIN_LIMIT_NS = 1000 * NS_PER_MS;
constexpr int64_t QUIT_DRAIN_POLL_NS = 5 * NS_PER_MS;
constexpr int QUIT_DRAIN_QUIET_LOOKS = 2;  // empty queue this many times in a row
constexpr char WAKE_STOP = 'S';
constexpr char WAKE_DUMP = 'D';

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Wire time of the first count bytes of a run, from the count itself, so
// that the rate does not drift over long runs.
int64_t WireNs(uint64_t count) {
    return static_cast<int64_t>(count * static_cast<uint64_t>(NS_PER_SECOND) / LINE_BYTES_PER_SECOND);
}

timespec ToTimespec(int64_t ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / NS_PER_SECOND);
    ts.tv_nsec = static_cast<long>(ns % NS_PER_SECOND);
    return ts;
}

void SleepNs(int64_t ns) {
    const timespec ts = ToTimespec(ns);
    // An early wake-up by a signal only shortens one look of a polling loop.
    static_cast<void>(nanosleep(&ts, nullptr));
}

std::string ErrnoText(const std::string &what) { return what + ": " + std::strerror(errno); }

}  // namespace

Simulator::Simulator(Options options)
    : options_(std::move(options)), model_(options_.identity), faults_(options_.faults) {}

Simulator::~Simulator() { Close(); }

bool Simulator::Open(std::string *error) {
    auto fail = [&](const std::string &text) {
        *error = text;
        Close();
        return false;
    };

    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        return fail(ErrnoText("pipe"));
    }
    wake_read_fd_ = wake[0];
    wake_write_fd_ = wake[1];

    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0) {
        return fail(ErrnoText("posix_openpt"));
    }
    if (grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0) {
        return fail(ErrnoText("grantpt/unlockpt"));
    }
    char name[128];
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
    if (cfsetispeed(&tio, B19200) != 0 || cfsetospeed(&tio, B19200) != 0 ||
        tcsetattr(slave_fd_, TCSANOW, &tio) != 0) {
        return fail(ErrnoText("tcsetattr"));
    }

    const int flags = fcntl(master_fd_, F_GETFL);
    if (flags < 0 || fcntl(master_fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
        return fail(ErrnoText("fcntl O_NONBLOCK"));
    }

    if (!options_.log_path.empty()) {
        log_ = std::fopen(options_.log_path.c_str(), "w");
        if (log_ == nullptr) {
            return fail(ErrnoText("open log " + options_.log_path));
        }
    }

    if (!options_.link_path.empty()) {
        // Made beside the link and renamed over it, so a host opening the
        // link meanwhile finds either the old target or the new one.
        const std::string temp = options_.link_path + ".new-" + std::to_string(getpid());
        if (unlink(temp.c_str()) != 0 && errno != ENOENT) {
            return fail(ErrnoText("unlink " + temp));
        }
        if (symlink(slave_path_.c_str(), temp.c_str()) != 0) {
            return fail(ErrnoText("symlink " + temp));
        }
        if (rename(temp.c_str(), options_.link_path.c_str()) != 0) {
            const std::string text = ErrnoText("rename to " + options_.link_path);
            // Best effort: the rename already failed.
            static_cast<void>(unlink(temp.c_str()));
            return fail(text);
        }
        link_made_ = true;
    }
    Say("serving " + slave_path_);
    return true;
}

void Simulator::RemoveLink() {
    if (!link_made_) {
        return;
    }
    // Removed only while it still leads to this simulator: a test may have
    // pointed it at another one meanwhile.
    char target[256];
    const ssize_t n = readlink(options_.link_path.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, static_cast<size_t>(n)) == slave_path_ &&
        unlink(options_.link_path.c_str()) != 0) {
        Warn(ErrnoText("unlink " + options_.link_path));
    }
    link_made_ = false;
}

void Simulator::Close() {
    RemoveLink();
    // Nothing can be done about a failing close of these at the end.
    for (int *fd : {&master_fd_, &slave_fd_, &wake_read_fd_}) {
        if (*fd >= 0) {
            static_cast<void>(close(*fd));
            *fd = -1;
        }
    }
    if (wake_write_fd_ >= 0) {
        const int fd = wake_write_fd_;
        wake_write_fd_ = -1;
        static_cast<void>(close(fd));
    }
    if (log_ != nullptr) {
        if (std::fclose(log_) != 0) {
            Warn(ErrnoText("close log"));
        }
        log_ = nullptr;
    }
}

void Simulator::WakeByte(char what) {
    const int saved = errno;
    const int fd = wake_write_fd_;
    if (fd >= 0) {
        // A full pipe already holds a wake-up, so a failed write loses nothing.
        static_cast<void>(write(fd, &what, 1));
    }
    errno = saved;
}

void Simulator::RequestStop() {
    stop_requested_ = 1;
    WakeByte(WAKE_STOP);
}

void Simulator::RequestDump() {
    dump_requested_ = 1;
    WakeByte(WAKE_DUMP);
}

void Simulator::Say(const std::string &text) const {
    if (options_.verbose) {
        std::fprintf(stderr, "kormelt-sim: %s\n", text.c_str());
    }
}

void Simulator::Warn(const std::string &text) const {
    std::fprintf(stderr, "kormelt-sim: %s\n", text.c_str());
}

void Simulator::LogLine(const std::string &line) {
    Say("request " + line);
    if (log_ == nullptr) {
        return;
    }
    // Flushed per line: a test reads the log while the simulator runs.
    if (std::fputs(line.c_str(), log_) < 0 || std::fputc('\n', log_) == EOF || std::fflush(log_) != 0) {
        Warn(ErrnoText("write log"));
    }
}

bool Simulator::WriteDump(std::string *error) const {
    return options_.dump_path.empty() || tool::WriteFileReplacing(options_.dump_path, flash().image, error);
}

bool Simulator::Timed() const { return options_.paced || options_.byte_pause_ms > 0; }

int64_t Simulator::TxDeadline(uint64_t index) const {
    const int64_t pause_ns = static_cast<int64_t>(options_.byte_pause_ms) * NS_PER_MS;
    return tx_epoch_ns_ + (options_.paced ? WireNs(index + 1) : 0) + static_cast<int64_t>(index) * pause_ns;
}

bool Simulator::Run(std::string *error) {
    if (wake_read_fd_ < 0) {
        *error = "not open";
        return false;
    }
    bool ok = true;
    int64_t hangup_retry_at = 0;
    while (stop_requested_ == 0) {
        if (dump_requested_ != 0) {
            dump_requested_ = 0;
            std::string dump_error;
            if (!WriteDump(&dump_error)) {
                Warn(dump_error);
            }
        }
        const int64_t now = NowNs();
        // Requests are carried out in order, each once its bytes are through the line.
        while (!pending_.empty() && pending_.front().due_ns <= now) {
            const Pending request = std::move(pending_.front());
            pending_.erase(pending_.begin());
            Serve(request);
        }
        bool want_pollout = false;
        if (master_fd_ >= 0 && !WriteDue(now, &want_pollout, error)) {
            ok = false;
            break;
        }
        if (quitting_ && tx_pos_ == tx_.size() && !babbling_) {
            DrainBeforeQuit();
            break;
        }

        int64_t wake_at = -1;
        auto wake_by = [&wake_at](int64_t at) { wake_at = wake_at < 0 ? at : std::min(wake_at, at); };
        if (!pending_.empty()) {
            wake_by(pending_.front().due_ns);
        }
        if (master_fd_ >= 0 && tx_pos_ < tx_.size() && !want_pollout) {
            wake_by(TxDeadline(tx_index_));
        }
        const bool watch_master = master_fd_ >= 0 && hangup_retry_at <= now;
        if (master_fd_ >= 0 && !watch_master) {
            wake_by(hangup_retry_at);
        }

        pollfd fds[2] = {{wake_read_fd_, POLLIN, 0},
                         {master_fd_, static_cast<short>(POLLIN | (want_pollout ? POLLOUT : 0)), 0}};
        timespec timeout{};
        if (wake_at >= 0) {
            timeout = ToTimespec(std::max<int64_t>(0, wake_at - NowNs()));
        }
        // A sleeping simulator wakes late, by a good part of a byte time on a
        // busy or virtual machine, for every request and paced reply byte;
        // benchmarks that compare with the wire time ask it to stay awake.
        if (options_.spin) {
            wake_at = 0;
            timeout = timespec{};
        }
        const int ready = ppoll(fds, watch_master ? 2 : 1, wake_at >= 0 ? &timeout : nullptr, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = ErrnoText("ppoll");
            ok = false;
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            char drained[64];
            // The flags say what was asked; the bytes only woke the loop.
            while (read(wake_read_fd_, drained, sizeof drained) > 0) {
            }
        }
        if (watch_master && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            bool hung_up = false;
            if (!ReadRequests(NowNs(), &hung_up, error)) {
                ok = false;
                break;
            }
            if (hung_up) {
                hangup_retry_at = NowNs() + HANGUP_RETRY_NS;
            }
        }
    }

    std::string dump_error;
    if (!WriteDump(&dump_error)) {
        if (ok) {
            *error = dump_error;
        }
        ok = false;
    }
    return ok;
}

bool Simulator::ReadRequests(int64_t now_ns, bool *hung_up, std::string *error) {
    uint8_t chunk[READ_CHUNK_BYTES];
    const ssize_t n = read(master_fd_, chunk, sizeof chunk);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            return true;
        }
        // EIO: no slave open at the moment. The pseudo-terminal stays usable
        // and the host may come back.
        if (errno == EIO) {
            *hung_up = true;
            return true;
        }
        *error = ErrnoText("read " + slave_path_ + " master");
        return false;
    }
    if (n == 0) {
        *hung_up = true;
        return true;
    }
    for (ssize_t i = 0; i < n; ++i) {
        int64_t through_ns = now_ns;
        if (options_.paced) {
            // A byte read while the line was idle starts a new run.
            if (rx_epoch_ns_ + WireNs(rx_count_) < now_ns) {
                rx_epoch_ns_ = now_ns;
                rx_count_ = 0;
            }
            ++rx_count_;
            through_ns = rx_epoch_ns_ + WireNs(rx_count_);
        }
        const FrameEvent event = decoder_.Feed(chunk[i]);
        if (event == FrameEvent::NeedMore) {
            continue;
        }
        FrameReceived(ReadRequest(event, rx_bytes_.data(), decoder_.length(), decoder_.overflowed()), through_ns);
        // The library's receiver needs a fresh flag after a short frame; the
        // device is more lenient and lets the short frame's closing flag open
        // the next one, as after any other frame.
        if (event == FrameEvent::Dropped) {
            decoder_.Feed(FRAME_FLAG);
        }
    }
    return true;
}

void Simulator::FrameReceived(Request request, int64_t through_ns) {
    ++requests_;
    if (babbling_) {
        babbling_ = false;
        tx_.clear();
        tx_pos_ = 0;
    }
    pending_.push_back(Pending{requests_, through_ns, std::move(request)});
}

void Simulator::Serve(const Pending &pending) {
    const Request &request = pending.request;
    const uint32_t number = pending.number;
    LogLine(request.LogLine());
    if (faults_.HangsUpAt(number)) {
        Hangup();
        return;
    }
    if (!request.Decoded() || faults_.SilentAt(number)) {
        return;
    }
    const std::vector<uint8_t> reply = model_.Answer(request);
    if (request.kind == RequestKind::Restart) {
        quitting_ = options_.quit_after_restart;
    }

    std::vector<uint8_t> bytes = faults_.LeadIn();
    if (faults_.BabblesAt(number)) {
        bytes.push_back(FRAME_FLAG);
        QueueReply(bytes, pending.due_ns);
        babbling_ = true;
        Say("babbling");
        return;
    }
    const std::vector<uint8_t> frame = faults_.ReplyFrame(number, reply);
    if (frame.empty()) {
        Warn("reply of " + std::to_string(reply.size()) + " bytes does not fit a frame");
        return;
    }
    Say("reply " + Hex(frame));
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    QueueReply(bytes, pending.due_ns);
}

void Simulator::QueueReply(const std::vector<uint8_t> &bytes, int64_t start_ns) {
    if (tx_pos_ == tx_.size()) {
        tx_.clear();
        tx_pos_ = 0;
        // A new run starts unless the last byte is still on its way.
        const int64_t line_free_ns = tx_index_ == 0 ? start_ns : TxDeadline(tx_index_ - 1);
        if (line_free_ns <= start_ns) {
            tx_epoch_ns_ = start_ns;
            tx_index_ = 0;
        }
    }
    tx_.insert(tx_.end(), bytes.begin(), bytes.end());
}

bool Simulator::WriteDue(int64_t now_ns, bool *want_pollout, std::string *error) {
    *want_pollout = false;
    if (tx_pos_ == tx_.size()) {
        tx_.clear();
        tx_pos_ = 0;
        if (!babbling_) {
            return true;
        }
        tx_.assign(BABBLE_CHUNK_BYTES, BABBLE_BYTE);
    }
    size_t due = tx_.size() - tx_pos_;
    if (Timed()) {
        due = 0;
        while (tx_pos_ + due < tx_.size() && TxDeadline(tx_index_ + due) <= now_ns) {
            ++due;
        }
        if (due == 0) {
            return true;
        }
    }
    ssize_t n = write(master_fd_, tx_.data() + tx_pos_, due);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            *want_pollout = true;
            return true;
        }
        if (errno != EIO) {
            *error = ErrnoText("write " + slave_path_ + " master");
            return false;
        }
        // EIO: no slave open; as on a line nobody listens to, the bytes are lost.
        Say("reply bytes lost, no slave open");
        n = static_cast<ssize_t>(due);
    }
    if (n == 0) {
        *want_pollout = true;
        return true;
    }
    tx_pos_ += static_cast<size_t>(n);
    tx_index_ += static_cast<uint64_t>(n);
    // Back at once for the rest, or for the next chunk of babble; the loop
    // still looks at requests and signals in between.
    if (static_cast<size_t>(n) < due || (babbling_ && tx_pos_ == tx_.size())) {
        *want_pollout = true;
    }
    return true;
}

void Simulator::Hangup() {
    Say("hanging up");
    // The slave's name is free for the next pseudo-terminal from now on; a
    // link left behind could lead the host to somebody else's line.
    RemoveLink();
    for (int *fd : {&master_fd_, &slave_fd_}) {
        // The point is to drop the line; a failing close changes nothing.
        static_cast<void>(close(*fd));
        *fd = -1;
    }
    pending_.clear();
    tx_.clear();
    tx_pos_ = 0;
    babbling_ = false;
    quitting_ = false;
}

void Simulator::DrainBeforeQuit() {
    // The slave loses whatever the host has not read yet when the master
    // closes, so the restart reply is given time to be read first.
    int quiet_looks = 0;
    for (int64_t waited = 0; waited < QUIT_DRAIN_LIMIT_NS && quiet_looks < QUIT_DRAIN_QUIET_LOOKS &&
                             stop_requested_ == 0;
         waited += QUIT_DRAIN_POLL_NS) {
        SleepNs(QUIT_DRAIN_POLL_NS);
        int queued = 0;
        if (ioctl(slave_fd_, FIONREAD, &queued) != 0) {
            Warn(ErrnoText("FIONREAD"));
            return;
        }
        quiet_looks = queued == 0 ? quiet_looks + 1 : 0;
    }
    Say("quitting after restart");
}

}  // namespace kormelt::sim
