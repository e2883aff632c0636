// The frame on the wire, without any I/O: 0x7E flags around the payload and
// its CRC (high byte first), with 0x7E and 0xFD in between sent as 0xFD and
// the byte XOR 0x20. The caller owns every buffer and states its size. The
// library's reply receive, the simulator and the fuzzers all encode and
// decode through these.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kormelt {

constexpr uint8_t FRAME_FLAG = 0x7E;
constexpr uint8_t FRAME_ESCAPE = 0xFD;
constexpr uint8_t FRAME_ESCAPE_XOR = 0x20;

// The bytes that travel stuffed: the flag and the escape itself.
constexpr bool NeedsEscape(uint8_t byte) { return byte == FRAME_FLAG || byte == FRAME_ESCAPE; }

constexpr size_t FRAME_CRC_BYTES = 2;
// The shortest frame that counts: one payload byte and the CRC. Shorter
// ones are dropped, never taken for a bad frame.
constexpr size_t FRAME_MIN_DECODED = 1 + FRAME_CRC_BYTES;

// A request frame is built whole in a buffer of this size and leaves in one write.
constexpr size_t FRAME_TX_CAPACITY = 1024;  // bytes
// Largest payload that fits even if every payload and CRC byte is stuffed.
constexpr size_t FRAME_MAX_PAYLOAD = (FRAME_TX_CAPACITY - 2) / 2 - FRAME_CRC_BYTES;  // 509 bytes

// Writes the frame of payload into out. Returns the frame length, or 0 when
// it would not fit into capacity bytes.
size_t FrameEncode(const uint8_t *payload, size_t length, uint8_t *out, size_t capacity);

// What the byte just fed did.
enum class FrameEvent {
    NeedMore,  // noise before a frame, a flag, or a byte of a frame still open
    Frame,     // a closing flag ended a frame whose CRC comes out zero
    Dropped,   // a closing flag ended a frame of one or two decoded bytes;
               // its closing flag opens nothing, a fresh flag is needed
    Error,     // a closing flag ended a frame whose CRC does not come out
               // zero, or that decoded to more bytes than the buffer holds
};

// A push decoder: it is fed the line one byte at a time and says when a
// frame ends. The decoded bytes of the open frame, CRC last, go to the
// caller's buffer from its start; a frame longer than capacity is not stored
// past it, but read on to its closing flag and then refused. Between frames
// one flag may close one frame and open the next; two flags in a row are no
// frame at all.
class FrameDecoder {
public:
    FrameDecoder(uint8_t *buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    FrameEvent Feed(uint8_t byte);

    // Of the frame the last event other than NeedMore ended: its decoded
    // bytes in the buffer (CRC included; the first capacity of them when it
    // overflowed), and whether it overflowed.
    size_t length() const { return length_; }
    bool overflowed() const { return overflowed_; }
    // After Frame: the payload, the CRC left off.
    size_t payload_length() const { return length_ - FRAME_CRC_BYTES; }

private:
    enum class State { Hunting, InFrame, Escaped };

    FrameEvent Close();
    void Store(uint8_t byte);

    uint8_t *buffer_;
    size_t capacity_;
    State state_ = State::Hunting;
    size_t count_ = 0;       // decoded bytes of the open frame in the buffer
    bool overflow_ = false;  // the open frame did not fit
    size_t length_ = 0;
    bool overflowed_ = false;
};

}  // namespace kormelt
