// A stand-in for the device at the far end of the serial line. It serves a
// pseudo-terminal whose slave side the host opens as its port, answers
// request frames as the device does, keeps a model of the device's flash,
// and misbehaves on request so that the host's error paths can be tested.
//
// Request numbers count every frame the simulator receives, from 1: good
// requests and frames that do not decode alike, so request K is line K of
// the log. The fault options name a request by that number.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "device/current_port.h"  // the command codes

namespace kormelt::sim {

constexpr size_t IDENTIFY_REQUEST_BYTES = 1;
constexpr size_t RESTART_REQUEST_BYTES = 1;
constexpr size_t ERASE_REQUEST_BYTES = 2;
constexpr size_t PROGRAM_DATA_BYTES = 128;
constexpr size_t PROGRAM_REQUEST_BYTES = 1 + 4 + PROGRAM_DATA_BYTES;

// Replies to erase, program and restart: the command code, then one of these.
constexpr uint8_t REPLY_OK = 0x00;
constexpr uint8_t REPLY_REJECTED = 0x01;  // unknown request, or a program beyond the flash

// The identify reply: these two version bytes, then the identity text.
constexpr uint8_t ID_VERSION[2] = {0x01, 0x00};
constexpr const char *ID_TEXT = "kormelt";

constexpr size_t FLASH_LIMIT_BYTES = 16u << 20;   // program requests reaching beyond are rejected
constexpr size_t REQUEST_CAPACITY = 1024;         // decoded bytes kept of one request frame
constexpr size_t OVERSIZE_REPLY_BYTES = 300;      // payload of the --oversize-at reply
constexpr uint32_t LINE_BYTES_PER_SECOND = 1920;  // 19200 baud, 8N1: 10 bits per byte

// The fault options name request K by its number; K = 0 switches one off.
struct Options {
    std::string link_path;  // symlink made to point at the slave; removed at the end
    std::string dump_path;  // programmed bytes, written on RequestDump() and at the end of Run()
    std::string log_path;   // one line per request received, flushed per line
    std::string id_text = ID_TEXT;
    // Length of the identify reply payload: the version bytes and id_text,
    // cut or padded with 0x00 to this length. Unset: exactly those bytes.
    std::optional<size_t> id_length;
    uint32_t silent_from = 0;    // from request K on: logged, not carried out, not answered
    uint32_t bad_crc_at = 0;     // request K is carried out, its reply carries a wrong CRC
    bool noise = false;          // a few non-flag bytes before every reply frame
    bool short_frames = false;   // a 1-byte and a 2-byte frame before every reply frame
    uint32_t oversize_at = 0;    // request K is carried out, its reply is a good frame of
                                 // OVERSIZE_REPLY_BYTES payload bytes
    uint32_t babble_at = 0;      // request K is carried out, its reply is a flag and then 0x55
                                 // without end, until the next request arrives
    uint32_t byte_pause_ms = 0;  // pause between reply bytes
    uint32_t hangup_at = 0;      // the master is closed and the link removed when request K
                                 // arrives, unanswered
    bool paced = false;          // bytes take their wire time at LINE_BYTES_PER_SECOND both ways
    bool spin = false;           // never sleep: polls without pause, for timing to the microsecond
    bool quit_after_restart = false;  // Run() returns once the restart reply has been read
    bool verbose = false;        // events on stderr
};

struct FlashModel {
    std::vector<uint8_t> erased_blocks;  // in the order the requests came
    std::vector<uint8_t> image;          // from address 0 to the end of the highest
                                         // programmed byte; holes hold 0xFF
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
    // The path the host opens, valid after Open().
    const std::string &slave_path() const { return slave_path_; }

    // Serves requests until RequestStop() (or the restart reply, with
    // quit_after_restart), then writes the dump. False with the reason in
    // *error on a failure that stops the simulator.
    bool Run(std::string *error);

    // Both may be called from a signal handler; they wake Run().
    void RequestStop();
    void RequestDump();

    // Writes the dump file now (through a temporary file and a rename, so a
    // reader never sees half of it). True without a dump path.
    bool WriteDump(std::string *error) const;
    const FlashModel &flash() const { return flash_; }

    // Closes everything and removes the link if it still leads to the slave.
    void Close();

private:
    struct Pending {
        uint32_t number;
        int64_t due_ns;  // when its last byte is through the line
        std::vector<uint8_t> bytes;  // decoded, CRC included
        bool overlong;
    };

    bool ReadRequests(int64_t now_ns, bool *hung_up, std::string *error);
    void StoreRequestByte(uint8_t byte);
    void FrameReceived(int64_t through_ns);
    void Serve(const Pending &request);
    void QueueReply(std::vector<uint8_t> frame, int64_t start_ns);
    bool Timed() const;
    int64_t TxDeadline(uint64_t index) const;
    bool WriteDue(int64_t now_ns, bool *want_pollout, std::string *error);
    void Hangup();
    void RemoveLink();
    void DrainBeforeQuit();
    void LogLine(const std::string &line);
    void Say(const std::string &text) const;   // with verbose only
    void Warn(const std::string &text) const;  // always
    void WakeByte(char what);

    Options options_;
    int master_fd_ = -1;
    int slave_fd_ = -1;  // our own, so the host may close and reopen the slave freely
    int wake_read_fd_ = -1;
    volatile sig_atomic_t wake_write_fd_ = -1;  // read by RequestStop() in a signal handler
    std::string slave_path_;
    FILE *log_ = nullptr;
    bool link_made_ = false;

    volatile sig_atomic_t stop_requested_ = 0;
    volatile sig_atomic_t dump_requested_ = 0;

    // Request decoder.
    enum class RxState { Hunting, InFrame, Escaped };
    RxState rx_state_ = RxState::Hunting;
    std::vector<uint8_t> rx_bytes_;
    bool rx_overlong_ = false;
    int64_t rx_epoch_ns_ = 0;  // paced reception: line busy since then ...
    uint64_t rx_count_ = 0;    // ... with this many bytes
    uint32_t requests_ = 0;
    std::vector<Pending> pending_;

    // Reply transmitter: bytes leave at absolute deadlines from tx_epoch_ns_.
    std::vector<uint8_t> tx_;
    size_t tx_pos_ = 0;
    int64_t tx_epoch_ns_ = 0;
    uint64_t tx_index_ = 0;  // bytes sent since tx_epoch_ns_
    bool babbling_ = false;
    bool quitting_ = false;  // the restart reply is queued and quit_after_restart is set

    FlashModel flash_;
};

}  // namespace kormelt::sim
