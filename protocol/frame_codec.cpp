#include "protocol/frame_codec.h"

#include "protocol/crc16.h"

namespace kormelt {

namespace {

// Appends one byte, stuffed; false when it does not fit.
bool PutStuffed(uint8_t byte, uint8_t *out, size_t capacity, size_t *pos) {
    if (NeedsEscape(byte)) {
        if (capacity - *pos < 2) {
            return false;
        }
        out[(*pos)++] = FRAME_ESCAPE;
        out[(*pos)++] = static_cast<uint8_t>(byte ^ FRAME_ESCAPE_XOR);
        return true;
    }
    if (capacity - *pos < 1) {
        return false;
    }
    out[(*pos)++] = byte;
    return true;
}

}  // namespace

size_t FrameEncode(const uint8_t *payload, size_t length, uint8_t *out, size_t capacity) {
    if (capacity < 2) {
        return 0;
    }
    const uint16_t crc = CrcBlock(payload, length);
    size_t pos = 0;
    out[pos++] = FRAME_FLAG;
    for (size_t i = 0; i < length; ++i) {
        if (!PutStuffed(payload[i], out, capacity - 1, &pos)) {
            return 0;
        }
    }
    if (!PutStuffed(static_cast<uint8_t>(crc >> 8), out, capacity - 1, &pos) ||
        !PutStuffed(static_cast<uint8_t>(crc & 0xFF), out, capacity - 1, &pos)) {
        return 0;
    }
    out[pos++] = FRAME_FLAG;  // room kept by encoding into capacity - 1
    return pos;
}

FrameEvent FrameDecoder::Feed(uint8_t byte) {
    switch (state_) {
    case State::Hunting:
        if (byte == FRAME_FLAG) {
            state_ = State::InFrame;
        }
        return FrameEvent::NeedMore;
    case State::Escaped:
        // Whatever follows the escape is data, a flag included.
        Store(static_cast<uint8_t>(byte ^ FRAME_ESCAPE_XOR));
        state_ = State::InFrame;
        return FrameEvent::NeedMore;
    case State::InFrame:
        break;
    }
    if (byte == FRAME_FLAG) {
        return Close();
    }
    if (byte == FRAME_ESCAPE) {
        state_ = State::Escaped;
    } else {
        Store(byte);
    }
    return FrameEvent::NeedMore;
}

FrameEvent FrameDecoder::Close() {
    if (count_ == 0 && !overflow_) {
        return FrameEvent::NeedMore;  // back-to-back flags
    }
    length_ = count_;
    overflowed_ = overflow_;
    count_ = 0;
    overflow_ = false;
    if (overflowed_) {
        return FrameEvent::Error;
    }
    if (length_ < FRAME_MIN_DECODED) {
        state_ = State::Hunting;
        return FrameEvent::Dropped;
    }
    return CrcBlock(buffer_, length_) == 0 ? FrameEvent::Frame : FrameEvent::Error;
}

void FrameDecoder::Store(uint8_t byte) {
    if (count_ < capacity_) {
        buffer_[count_++] = byte;
    } else {
        overflow_ = true;
    }
}

}  // namespace kormelt
