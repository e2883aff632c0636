#include "tools/sim/transmitter.h"

#include <algorithm>

#include "protocol/protocol.h"

namespace kormelt::sim {

namespace {

constexpr int64_t NS_PER_SECOND = 1000000000;
constexpr int64_t NS_PER_MS = 1000000;
constexpr size_t BABBLE_CHUNK_BYTES = 256;  // babble is handed out this much at a time

}  // namespace

int64_t WireNs(uint64_t count) {
    return static_cast<int64_t>(count * static_cast<uint64_t>(NS_PER_SECOND) / LINE_BYTES_PER_SECOND);
}

int64_t ReceivePacer::Through(int64_t now_ns) {
    if (!paced_) {
        return now_ns;
    }
    if (epoch_ns_ + WireNs(count_) < now_ns) {
        epoch_ns_ = now_ns;
        count_ = 0;
    }
    ++count_;
    return epoch_ns_ + WireNs(count_);
}

int64_t Transmitter::Deadline(uint64_t index) const {
    const int64_t pause_ns = static_cast<int64_t>(pacing_.byte_pause_ms) * NS_PER_MS;
    return epoch_ns_ + (pacing_.paced ? WireNs(index + 1) : 0) + static_cast<int64_t>(index) * pause_ns;
}

int64_t Transmitter::LeavesAt(size_t pos) const {
    const int64_t wire_ns = Deadline(index_ + (pos - pos_));
    for (const Hold &hold : holds_) {
        if (pos < hold.end) {
            return std::max(wire_ns, hold.hold_ns);
        }
    }
    return wire_ns;
}

void Transmitter::ClearQueue() {
    queue_.clear();
    holds_.clear();
    pos_ = 0;
}

void Transmitter::Queue(const std::vector<uint8_t> &bytes, int64_t start_ns) {
    if (pos_ == queue_.size()) {
        ClearQueue();
        // A new run starts unless the last byte is still on its way.
        const int64_t line_free_ns = index_ == 0 ? start_ns : Deadline(index_ - 1);
        if (line_free_ns <= start_ns) {
            epoch_ns_ = start_ns;
            index_ = 0;
        }
    }
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
    if (pacing_.latency_ms > 0) {
        holds_.push_back(Hold{queue_.size(), start_ns + static_cast<int64_t>(pacing_.latency_ms) * NS_PER_MS});
    }
}

void Transmitter::StartBabble(uint8_t byte) {
    babbling_ = true;
    babble_byte_ = byte;
}

void Transmitter::StopBabble() {
    if (babbling_) {
        babbling_ = false;
        ClearQueue();
    }
}

void Transmitter::Clear() {
    ClearQueue();
    babbling_ = false;
}

size_t Transmitter::Due(int64_t now_ns, const uint8_t **bytes) {
    if (pos_ == queue_.size()) {
        ClearQueue();
        if (!babbling_) {
            return 0;
        }
        queue_.assign(BABBLE_CHUNK_BYTES, babble_byte_);
    }
    size_t due = queue_.size() - pos_;
    if (pacing_.Timed()) {
        due = 0;
        while (pos_ + due < queue_.size() && LeavesAt(pos_ + due) <= now_ns) {
            ++due;
        }
    }
    *bytes = queue_.data() + pos_;
    return due;
}

void Transmitter::Sent(size_t count) {
    pos_ += count;
    index_ += count;
}

std::optional<int64_t> Transmitter::NextDeadline() const {
    if (!pacing_.Timed() || pos_ == queue_.size()) {
        return std::nullopt;
    }
    return LeavesAt(pos_);
}

}  // namespace kormelt::sim
