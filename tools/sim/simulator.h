// A stand-in for the device at the far end of the serial line: the request
// loop. It reads what the host sends through the pseudo-terminal endpoint,
// decodes request frames with the protocol core, and hands each request to
// the device model, which answers it and keeps the flash, through the fault
// plan, which decides which answers go out wrong; the transmitter paces the
// replies. It also writes the request log and the flash dump.
//
// Request numbers count every frame the simulator receives, from 1: good
// requests and frames that do not decode alike, so request K is line K of
// the log. The fault options name a request by that number.
#pragma once

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "protocol/frame_codec.h"
#include "tools/sim/device_model.h"
#include "tools/sim/fault_plan.h"
#include "tools/sim/line_endpoint.h"
#include "tools/sim/transmitter.h"

namespace kormelt::sim {

struct Options {
    std::string link_path;  // symlink made to point at the slave; removed at the end
    std::string tcp_address;  // IPV4:PORT or [IPV6]:PORT: serve there instead of on a pseudo-terminal
    std::string dump_path;  // programmed bytes, written on RequestDump() and at the end of Run()
    std::string log_path;   // one line per request received, flushed per line
    Identity identity;
    FaultOptions faults;
    uint32_t byte_pause_ms = 0;  // pause between reply bytes
    uint32_t latency_ms = 0;     // no reply byte reaches the host sooner after its request is through
    bool paced = false;          // bytes take their wire time at LINE_BYTES_PER_SECOND both ways
    bool spin = false;           // never sleep: polls without pause, for timing to the microsecond
    bool quit_after_restart = false;  // Run() returns once the restart reply has been read
    bool verbose = false;        // events on stderr
};

class Simulator {
public:
    explicit Simulator(Options options);
    ~Simulator();  // Close()
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Opens the pseudo-terminal, the log file and the link. False with the
    // reason in *error; whatever was opened is closed again.
    bool Open(std::string *error);
    // What the host opens, valid after Open(): the slave's path, or the
    // TCP address with the port taken.
    const std::string &slave_path() const { return line_->name(); }

    // Serves requests until RequestStop() (or the restart reply, with
    // quit_after_restart), then writes the dump. False with the reason in
    // *error on a failure that stops the simulator.
    bool Run(std::string *error);

    // Both may be called from a signal handler; they wake Run().
    void RequestStop();
    void RequestDump();

    // Writes the dump file now, as the tools write every file: a reader
    // never sees half of it. True without a dump path.
    bool WriteDump(std::string *error) const;
    const FlashModel &flash() const { return model_.flash(); }

    // Closes everything and removes the link if it still leads to the slave.
    void Close();

private:
    struct Pending {
        uint32_t number;
        int64_t due_ns;  // when its last byte is through the line
        Request request;
    };

    bool ReadRequests(int64_t now_ns, bool *hung_up, std::string *error);
    void FrameReceived(Request request, int64_t through_ns);
    void Serve(const Pending &pending);
    bool WriteDue(int64_t now_ns, bool *want_pollout, std::string *error);
    void Hangup();
    void DrainBeforeQuit();
    void LogLine(const std::string &line);
    void Say(const std::string &text) const;   // with verbose only
    void Warn(const std::string &text) const;  // always
    void WakeByte(char what);

    Options options_;
    std::unique_ptr<LineEndpoint> line_;
    int wake_read_fd_ = -1;
    volatile sig_atomic_t wake_write_fd_ = -1;  // read by RequestStop() in a signal handler
    FILE *log_ = nullptr;

    volatile sig_atomic_t stop_requested_ = 0;
    volatile sig_atomic_t dump_requested_ = 0;

    std::array<uint8_t, REQUEST_CAPACITY> rx_bytes_{};
    FrameDecoder decoder_{rx_bytes_.data(), rx_bytes_.size()};
    ReceivePacer rx_pacer_;
    uint32_t requests_ = 0;
    std::vector<Pending> pending_;
    Transmitter tx_;
    bool quitting_ = false;  // the restart reply is queued and quit_after_restart is set

    DeviceModel model_;
    FaultPlan faults_;
};

}  // namespace kormelt::sim
