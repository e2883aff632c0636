// The request/reply exchange over a port: a request frame leaves in one
// write, the reply is read one byte at a time and decoded by the frame codec.
// Nothing is kept between calls; the caller owns the reply buffer and states
// its size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial_port.h"
#include "protocol/frame_codec.h"

namespace kormelt {

// Bytes one receive reads at most before it gives up with 14. A line that
// keeps babbling without completing a frame would otherwise hold the caller
// for as long as no gap reaches REPLY_TIMEOUT_MS. 4096 bytes is about 2.1 s
// at 19200 baud, far above the longest valid reply (a 256-byte reply with
// every byte stuffed is 514 bytes on the wire), and counts bytes, not time,
// so a slow device whose bytes come 2.9 s apart is still read to the end.
constexpr size_t REPLY_LINE_BYTE_LIMIT = 4096;  // bytes per receive

// 0, or 5 (STATUS_WRITE) when the write fails, is short, or the payload is
// longer than FRAME_MAX_PAYLOAD.
int32_t FrameSend(PortRecord *port, const uint8_t *payload, size_t length);

// Reads one reply frame into reply (decoded bytes, CRC bytes last) and sets
// *reply_length to its payload length. 0, 14 (silence for REPLY_TIMEOUT_MS,
// or REPLY_LINE_BYTE_LIMIT bytes without a complete frame) or 15 (bad CRC, or
// a frame longer than capacity). *reply_length is 0 unless 0 is returned.
int32_t FrameReceive(PortRecord *port, uint8_t *reply, size_t capacity, int32_t *reply_length);

// FrameSend, then FrameReceive unless the send failed. Never retries.
int32_t FrameExchange(PortRecord *port, const uint8_t *payload, size_t length, uint8_t *reply,
                      size_t capacity, int32_t *reply_length);

}  // namespace kormelt
