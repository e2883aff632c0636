#include "link/frame.h"

#include "protocol/protocol.h"
#include "protocol/status_names.h"

namespace kormelt {

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
    // A frame too long for the buffer is read on to its closing flag, so the
    // line is left at a frame boundary, and refused like any other reply
    // that cannot be accepted. Short frames are dropped and the wait goes on.
    FrameDecoder decoder(reply, capacity);
    for (size_t line_bytes = 0; line_bytes < REPLY_LINE_BYTE_LIMIT; ++line_bytes) {
        uint8_t byte = 0;
        const int32_t status = PortReadByte(port, &byte, REPLY_TIMEOUT_MS);
        if (status != STATUS_OK) {
            return status;
        }
        switch (decoder.Feed(byte)) {
        case FrameEvent::Frame:
            *reply_length = static_cast<int32_t>(decoder.payload_length());
            return STATUS_OK;
        case FrameEvent::Error:
            return STATUS_CRC;
        case FrameEvent::NeedMore:
        case FrameEvent::Dropped:
            break;
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
