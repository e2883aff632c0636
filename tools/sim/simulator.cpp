#include "tools/sim/simulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "protocol/protocol.h"
#include "tools/common/replace_file.h"
#include "tools/sim/pty_endpoint.h"
#include "tools/sim/request_log.h"
#include "tools/sim/tcp_endpoint.h"

namespace kormelt::sim {

namespace {

constexpr int64_t NS_PER_SECOND = 1000000000;
constexpr int64_t NS_PER_MS = 1000000;
// The master reports a hang-up while no slave is open; it is looked at again
// after this pause instead of in a busy loop.
constexpr int64_t HANGUP_RETRY_NS = 10 * NS_PER_MS;
constexpr size_t READ_CHUNK_BYTES = 512;
constexpr size_t WAKE_DRAIN_BYTES = 64;
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
    : options_(std::move(options)),
      rx_pacer_(options_.paced),
      tx_(Pacing{options_.paced, options_.byte_pause_ms, options_.latency_ms}),
      model_(options_.identity),
      faults_(options_.faults) {
    if (options_.tcp_address.empty()) {
        line_ = std::make_unique<PtyEndpoint>(options_.link_path);
    } else {
        line_ = std::make_unique<TcpEndpoint>(options_.tcp_address);
    }
}

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

    if (!options_.log_path.empty()) {
        log_ = std::fopen(options_.log_path.c_str(), "w");
        if (log_ == nullptr) {
            return fail(ErrnoText("open log " + options_.log_path));
        }
    }
    // The link last: once it exists a host may open it.
    if (!line_->Open(error)) {
        return fail(*error);
    }
    Say("serving " + line_->name());
    return true;
}

void Simulator::Close() {
    line_->Close();
    // Nothing can be done about a failing close of these at the end.
    if (wake_read_fd_ >= 0) {
        static_cast<void>(close(wake_read_fd_));
        wake_read_fd_ = -1;
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
        if (line_->connected() && !WriteDue(now, &want_pollout, error)) {
            ok = false;
            break;
        }
        if (quitting_ && tx_.Idle()) {
            DrainBeforeQuit();
            break;
        }

        int64_t wake_at = -1;
        auto wake_by = [&wake_at](int64_t at) { wake_at = wake_at < 0 ? at : std::min(wake_at, at); };
        if (!pending_.empty()) {
            wake_by(pending_.front().due_ns);
        }
        if (line_->connected() && !want_pollout) {
            if (const std::optional<int64_t> next = tx_.NextDeadline()) {
                wake_by(*next);
            }
        }
        const bool watch_master = line_->connected() && hangup_retry_at <= now;
        if (line_->connected() && !watch_master) {
            wake_by(hangup_retry_at);
        }

        pollfd fds[2] = {{wake_read_fd_, POLLIN, 0},
                         {line_->poll_fd(), static_cast<short>(POLLIN | (want_pollout ? POLLOUT : 0)), 0}};
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
            char drained[WAKE_DRAIN_BYTES];
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
    size_t n = 0;
    switch (line_->Read(chunk, sizeof chunk, &n, error)) {
    case LineEndpoint::Io::Done:
        break;
    case LineEndpoint::Io::Again:
        return true;
    case LineEndpoint::Io::NoHost:
        *hung_up = true;
        return true;
    case LineEndpoint::Io::Failed:
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        const int64_t through_ns = rx_pacer_.Through(now_ns);
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
    // A request arriving stops a babbling device.
    tx_.StopBabble();
    pending_.push_back(Pending{requests_, through_ns, std::move(request)});
}

void Simulator::Serve(const Pending &pending) {
    const Request &request = pending.request;
    const uint32_t number = pending.number;
    LogLine(LogRecord(number, request));
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
        tx_.Queue(bytes, pending.due_ns);
        tx_.StartBabble(BABBLE_BYTE);
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
    tx_.Queue(bytes, pending.due_ns);
}

bool Simulator::WriteDue(int64_t now_ns, bool *want_pollout, std::string *error) {
    *want_pollout = false;
    const uint8_t *bytes = nullptr;
    const size_t due = tx_.Due(now_ns, &bytes);
    if (due == 0) {
        return true;
    }
    size_t written = 0;
    switch (line_->Write(bytes, due, &written, error)) {
    case LineEndpoint::Io::Done:
        break;
    case LineEndpoint::Io::Again:
        *want_pollout = true;
        return true;
    case LineEndpoint::Io::NoHost:
        Say("reply bytes lost, no slave open");
        break;
    case LineEndpoint::Io::Failed:
        return false;
    }
    tx_.Sent(written);
    // Back at once for the rest, or for the next chunk of babble; the loop
    // still looks at requests and signals in between.
    if (written < due || (tx_.babbling() && tx_.Drained())) {
        *want_pollout = true;
    }
    return true;
}

void Simulator::Hangup() {
    Say("hanging up");
    line_->Hangup();
    pending_.clear();
    tx_.Clear();
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
        size_t queued = 0;
        std::string reason;
        if (!line_->Unread(&queued, &reason)) {
            Warn(reason);
            return;
        }
        quiet_looks = queued == 0 ? quiet_looks + 1 : 0;
    }
    Say("quitting after restart");
}

}  // namespace kormelt::sim
