// The timing of the simulated line, without a clock of its own: every call
// is told what time it is, so pacing is tested without sleeping.
//
// A paced line carries LINE_BYTES_PER_SECOND bytes a second each way; a
// byte pause adds a fixed gap after each reply byte. Bytes of one run are
// timed from the run's start, not from the byte before, so the rate does
// not drift over a long upload. A latency stands for the host's adapter,
// which keeps what the device sent until its timer runs out: no byte of a
// reply reaches the host sooner than that long after the request was
// through, while the device behind it still sends at the line's pace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kormelt::sim {

struct Pacing {
    bool paced = false;           // bytes take their wire time
    uint32_t byte_pause_ms = 0;   // pause after each reply byte
    uint32_t latency_ms = 0;      // a reply is held this long after its start

    bool Timed() const { return paced || byte_pause_ms > 0 || latency_ms > 0; }
};

// Wire time of the first count bytes of a run.
int64_t WireNs(uint64_t count);

// When each byte the host sent is through the line: a byte read while the
// line was idle starts a new run.
class ReceivePacer {
public:
    explicit ReceivePacer(bool paced) : paced_(paced) {}

    // A byte read at now_ns is through the line at the time returned.
    int64_t Through(int64_t now_ns);

private:
    bool paced_;
    int64_t epoch_ns_ = 0;  // the line busy since then ...
    uint64_t count_ = 0;    // ... with this many bytes
};

// The reply side: bytes queued to leave at their deadlines, and babble
// (the same byte without end) once babbling starts.
class Transmitter {
public:
    explicit Transmitter(Pacing pacing) : pacing_(pacing) {}

    // Bytes to send from start_ns on, after whatever is still queued; with a
    // latency none of them is due before start_ns + latency.
    void Queue(const std::vector<uint8_t> &bytes, int64_t start_ns);
    // After what is queued, byte without end until StopBabble().
    void StartBabble(uint8_t byte);
    void StopBabble();
    bool babbling() const { return babbling_; }
    // Drops everything queued, babble included: the line went away.
    void Clear();

    // Nothing queued and no babble.
    bool Idle() const { return Drained() && !babbling_; }
    // Every byte queued so far went out (babble may follow).
    bool Drained() const { return pos_ == queue_.size(); }
    // The bytes due by now_ns, at most all that are queued; their count is
    // the return value, and *bytes points at the first of them.
    size_t Due(int64_t now_ns, const uint8_t **bytes);
    // count of the bytes Due() offered went out.
    void Sent(size_t count);
    // When the next queued byte is due on a timed line; nothing when no byte
    // waits, or when the line is untimed (then bytes are due at once).
    std::optional<int64_t> NextDeadline() const;

private:
    // Bytes queued before end are held until hold_ns (with a latency only).
    struct Hold {
        size_t end;
        int64_t hold_ns;
    };

    int64_t Deadline(uint64_t index) const;
    // When queue_[pos] may leave: its wire time in the run, and its hold.
    int64_t LeavesAt(size_t pos) const;
    void ClearQueue();

    Pacing pacing_;
    std::vector<uint8_t> queue_;
    std::vector<Hold> holds_;  // in queue order
    size_t pos_ = 0;         // next byte of queue_ to send
    int64_t epoch_ns_ = 0;   // the current run started then ...
    uint64_t index_ = 0;     // ... and has sent this many bytes
    bool babbling_ = false;
    uint8_t babble_byte_ = 0;
};

}  // namespace kormelt::sim
