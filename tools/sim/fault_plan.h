// Which request the simulator answers wrongly, and how. Pure: the line asks
// the plan what to do with request K (numbered from 1 as they arrive, every
// frame counted) and what bytes to send for a reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kormelt::sim {

constexpr size_t OVERSIZE_REPLY_BYTES = 300;  // payload of the --oversize-at reply
constexpr uint8_t BABBLE_BYTE = 0x55;         // what a babbling device sends after its flag

// A request number K names request K; 0 switches the fault off.
struct FaultOptions {
    uint32_t silent_from = 0;   // from request K on: logged, not carried out, not answered
    uint32_t bad_crc_at = 0;    // request K is carried out, its reply carries a wrong CRC
    bool noise = false;         // a few non-flag bytes before every reply frame
    bool short_frames = false;  // a 1-byte and a 2-byte frame before every reply frame
    uint32_t oversize_at = 0;   // request K is carried out, its reply is a good frame of
                                // OVERSIZE_REPLY_BYTES payload bytes
    uint32_t babble_at = 0;     // request K is carried out, its reply is a flag and then
                                // BABBLE_BYTE without end, until the next request arrives
    uint32_t hangup_at = 0;     // the line is dropped when request K arrives, unanswered
};

class FaultPlan {
public:
    explicit FaultPlan(const FaultOptions &options) : options_(options) {}

    // Request k is neither carried out nor answered: the line hangs up.
    bool HangsUpAt(uint32_t k) const { return Hits(options_.hangup_at, k); }
    // Request k is neither carried out nor answered.
    bool SilentAt(uint32_t k) const { return options_.silent_from != 0 && k >= options_.silent_from; }
    // Request k is carried out and answered with a flag and babble.
    bool BabblesAt(uint32_t k) const { return Hits(options_.babble_at, k); }

    // What goes on the line ahead of every reply, babble included.
    std::vector<uint8_t> LeadIn() const;
    // The frame that answers request k with payload: a good one, or the
    // one the plan has for k. Empty when the payload does not fit a frame.
    std::vector<uint8_t> ReplyFrame(uint32_t k, std::vector<uint8_t> payload) const;

private:
    static bool Hits(uint32_t option_k, uint32_t k) { return option_k != 0 && option_k == k; }

    FaultOptions options_;
};

}  // namespace kormelt::sim
