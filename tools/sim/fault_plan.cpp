#include "tools/sim/fault_plan.h"

#include <iterator>

#include "protocol/frame_codec.h"

namespace kormelt::sim {

namespace {

// Line noise before a reply: no flag among them, and 0xFD 0x5E outside a
// frame must not pass for an escaped flag.
constexpr uint8_t NOISE[] = {0x00, 0x55, 0xAA, 0xFF, 0xFD, 0x5E, 0x11, 0x13};
// A frame of one decoded byte, then one of two; a receiver drops both.
constexpr uint8_t SHORT_FRAMES[] = {FRAME_FLAG, 0x11, FRAME_FLAG, FRAME_FLAG, 0x22, 0x33, FRAME_FLAG};

// Changes the low CRC byte of an encoded frame to a value that needs no
// stuffing, so the frame stays well formed and only its CRC test fails.
void CorruptCrc(std::vector<uint8_t> *frame) {
    std::vector<uint8_t> &f = *frame;
    const size_t closing = f.size() - 1;
    // The low CRC byte is the last before the closing flag, two bytes when
    // stuffed. 0xFD never stands unstuffed, so 0xFD two places before the
    // flag opens that pair.
    size_t start = closing - 1;
    uint8_t low = f[start];
    if (f[closing - 2] == FRAME_ESCAPE) {
        start = closing - 2;
        low = static_cast<uint8_t>(f[closing - 1] ^ FRAME_ESCAPE_XOR);
    }
    uint8_t wrong = static_cast<uint8_t>(low ^ 0x01);
    if (NeedsEscape(wrong)) {
        wrong = static_cast<uint8_t>(low ^ 0x02);
    }
    f.erase(f.begin() + static_cast<std::ptrdiff_t>(start), f.begin() + static_cast<std::ptrdiff_t>(closing));
    f.insert(f.begin() + static_cast<std::ptrdiff_t>(start), wrong);
}

}  // namespace

std::vector<uint8_t> FaultPlan::LeadIn() const {
    std::vector<uint8_t> bytes;
    if (options_.noise) {
        bytes.insert(bytes.end(), std::begin(NOISE), std::end(NOISE));
    }
    if (options_.short_frames) {
        bytes.insert(bytes.end(), std::begin(SHORT_FRAMES), std::end(SHORT_FRAMES));
    }
    return bytes;
}

std::vector<uint8_t> FaultPlan::ReplyFrame(uint32_t k, std::vector<uint8_t> payload) const {
    if (Hits(options_.oversize_at, k)) {
        payload.resize(OVERSIZE_REPLY_BYTES);
        for (size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<uint8_t>(i);
        }
    }
    std::vector<uint8_t> frame(FRAME_TX_CAPACITY);
    frame.resize(FrameEncode(payload.data(), payload.size(), frame.data(), frame.size()));
    if (!frame.empty() && Hits(options_.bad_crc_at, k)) {
        CorruptCrc(&frame);
    }
    return frame;
}

}  // namespace kormelt::sim
