// Request/reply framing: 0x7E flags, 0xFD byte stuffing, CRC high byte first.
// The codec owns no I/O of its own beyond the two port operations and keeps
// nothing between calls; the caller owns the reply buffer and states its size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial_port.h"

namespace kormelt {

constexpr uint8_t FRAME_FLAG = 0x7E;
constexpr uint8_t FRAME_ESCAPE = 0xFD;
constexpr uint8_t FRAME_ESCAPE_XOR = 0x20;

constexpr uint32_t REPLY_TIMEOUT_MS = 3000;  // for each reply byte, anew

// A request frame is built whole in this buffer and leaves in one write.
constexpr size_t FRAME_TX_CAPACITY = 1024;  // bytes
// Largest payload that fits even if every payload and CRC byte is stuffed.
constexpr size_t FRAME_MAX_PAYLOAD = (FRAME_TX_CAPACITY - 2) / 2 - 2;  // 509 bytes

// Bytes one receive reads at most before it gives up with 14. A line that
// keeps babbling without completing a frame would otherwise hold the caller
// for as long as no gap reaches REPLY_TIMEOUT_MS. 4096 bytes is about 2.1 s
// at 19200 baud, far above the longest valid reply (a 256-byte reply with
// every byte stuffed is 514 bytes on the wire), and counts bytes, not time,
// so a slow device whose bytes come 2.9 s apart is still read to the end.
constexpr size_t REPLY_LINE_BYTE_LIMIT = 4096;  // bytes per receive

// Writes the frame of payload into out. Returns the frame length, or 0 when
// it would not fit into capacity bytes.
size_t FrameEncode(const uint8_t *payload, size_t length, uint8_t *out, size_t capacity);

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
