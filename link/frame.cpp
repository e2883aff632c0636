#include "link/frame.h"

#include "device/api.h"
#include "link/crc16.h"

namespace kormelt {

namespace {

bool NeedsEscape(uint8_t byte) { return byte == FRAME_FLAG || byte == FRAME_ESCAPE; }

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

enum class RxState { Hunting, InFrame, Escaped };

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

int32_t FrameSend(PortRecord *port, const uint8_t *payload, size_t length) {
    uint8_t frame[FRAME_TX_CAPACITY];
    if (length > FRAME_MAX_PAYLOAD) {
        return STATUS_WRITE;
    }
    const size_t frame_length = FrameEncode(payload, length, frame, sizeof frame);
    size_t written = 0;
    if (frame_length == 0 || !PortWrite(port, frame, frame_length, &written) ||
        written != frame_length) {
        return STATUS_WRITE;
    }
    return STATUS_OK;
}

int32_t FrameReceive(PortRecord *port, uint8_t *reply, size_t capacity, int32_t *reply_length) {
    *reply_length = 0;
    RxState state = RxState::Hunting;
    size_t count = 0;
    // A frame that decodes to more than capacity bytes is not stored past the
    // buffer: the decoder notes the overflow, reads on to the frame's closing
    // flag so the line is left at a frame boundary, and ends with 15 as for
    // any other reply it cannot accept.
    bool overflow = false;

    for (size_t line_bytes = 0; line_bytes < REPLY_LINE_BYTE_LIMIT; ++line_bytes) {
        uint8_t byte = 0;
        const int32_t status = PortReadByte(port, &byte, REPLY_TIMEOUT_MS);
        if (status != STATUS_OK) {
            return status;
        }
        if (state == RxState::Hunting) {
            if (byte == FRAME_FLAG) {
                state = RxState::InFrame;
            }
            continue;
        }
        if (state == RxState::InFrame && byte == FRAME_FLAG) {
            if (overflow) {
                return STATUS_CRC;
            }
            if (count >= 3) {
                if (CrcBlock(reply, count) != 0) {
                    return STATUS_CRC;
                }
                *reply_length = static_cast<int32_t>(count - 2);
                return STATUS_OK;
            }
            if (count > 0) {
                // Too short to hold a payload and a CRC: dropped. Its closing
                // flag does not open another frame.
                count = 0;
                state = RxState::Hunting;
            }
            continue;
        }
        if (state == RxState::InFrame && byte == FRAME_ESCAPE) {
            state = RxState::Escaped;
            continue;
        }
        if (state == RxState::Escaped) {
            byte = static_cast<uint8_t>(byte ^ FRAME_ESCAPE_XOR);
            state = RxState::InFrame;
        }
        if (count < capacity) {
            reply[count++] = byte;
        } else {
            overflow = true;
        }
    }
    return STATUS_TIMEOUT;
}

int32_t FrameExchange(PortRecord *port, const uint8_t *payload, size_t length, uint8_t *reply,
                      size_t capacity, int32_t *reply_length) {
    *reply_length = 0;
    const int32_t status = FrameSend(port, payload, length);
    if (status != STATUS_OK) {
        return status;
    }
    return FrameReceive(port, reply, capacity, reply_length);
}

}  // namespace kormelt
