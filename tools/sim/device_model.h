// The device as the simulator plays it: what it makes of each frame that
// arrives, what it answers and the flash it holds. Pure: no line, no files,
// no clock. The line feeds it decoded frames and sends its answers; the
// fault plan decides which of them go out spoiled, late or not at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/frame_codec.h"
#include "protocol/protocol.h"

namespace kormelt::sim {

struct Identity {
    std::string text = DEVICE_ID;
    // Length of the identify reply payload: the version bytes and text, cut
    // or padded with 0x00 to this length. Unset: exactly those bytes.
    std::optional<size_t> length;
};

enum class RequestKind {
    Identify,
    Restart,
    Erase,
    Program,
    Unknown,   // a good frame of no known command and length
    BadCrc,    // frames that do not decode: never answered
    Short,     // one or two decoded bytes
    Overlong,  // more decoded bytes than a request frame may hold
};

// One frame that arrived.
struct Request {
    RequestKind kind;
    // A good frame's payload; every decoded byte of the others (of an
    // overlong one, the first REQUEST_CAPACITY).
    std::vector<uint8_t> bytes;

    // A frame that decoded: the device answers it, whatever it asks.
    bool Decoded() const;
};

constexpr size_t REQUEST_CAPACITY = 1024;  // decoded bytes kept of one request frame

// Bytes in lower-case hexadecimal, two digits each, as the log shows them.
std::string Hex(const std::vector<uint8_t> &bytes);

// The request in a frame the decoder just ended with event (Frame, Dropped
// or Error); decoded holds the decoder's bytes.
Request ReadRequest(FrameEvent event, const uint8_t *decoded, size_t length, bool overflowed);

struct FlashModel {
    std::vector<uint8_t> erased_blocks;  // in the order the requests came
    std::vector<uint8_t> image;          // from address 0 to the end of the highest
                                         // programmed byte; holes hold ERASED_FLASH_BYTE
};

class DeviceModel {
public:
    explicit DeviceModel(Identity identity) : identity_(std::move(identity)) {}

    // Carries out a decoded request and returns the payload of its reply.
    std::vector<uint8_t> Answer(const Request &request);

    const FlashModel &flash() const { return flash_; }

private:
    Identity identity_;
    FlashModel flash_;
};

}  // namespace kormelt::sim
