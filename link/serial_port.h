// One open serial port. The frame codec reaches the line only through
// PortWrite and PortReadByte; discovery opens and closes ports. Each platform
// supplies its own implementation and its own PortRecord, picked by the build.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kormelt {

constexpr uint32_t PORT_TAG_LIVE = 0xBB40E64Eu;  // device open, record in use
constexpr uint32_t PORT_TAG_DEAD = 0xFFFFFFFFu;  // before open and after close

constexpr uint32_t PORT_NUMBER_MIN = 1;
constexpr uint32_t PORT_NUMBER_MAX = 64;
constexpr uint32_t PORT_QUEUE_BYTES = 1024;      // driver input and output queues
constexpr uint32_t PORT_WRITE_TIMEOUT_MS = 250;  // a write not done by then is reported short

struct PortRecord;

// Opens COMn (1..64) with the fixed line settings (LINE_BAUD_RATE, 8N1, no
// flow control), DTR and RTS raised, the device held against every other
// opener, and on POSIX the driver's low latency where it offers one. Its
// device is named by port_name.h; on POSIX the name may be a serial server
// on the network instead (port_url.h, remote_posix.h), with the same
// statuses. On success *slot holds the new live record
// and 0 is returned; on failure *slot is null and the status tells which step
// failed (8, 30, 2, 19, 43, 39, 4).
int32_t PortOpen(PortRecord **slot, uint32_t n);

// Applies the line settings first (on POSIX those the device had before
// open), then drops DTR and then RTS, lets others have the device again,
// closes it and frees the record. 42 (nothing touched) when the record is
// not live.
int32_t PortClose(PortRecord *record);

// One write of the whole buffer, bounded by PORT_WRITE_TIMEOUT_MS. Returns
// whether the write call succeeded; *written is the count that went out.
bool PortWrite(PortRecord *record, const uint8_t *bytes, size_t count, size_t *written);

// 0 with one byte in *byte_out, or 14 when none arrived within timeout_ms.
int32_t PortReadByte(PortRecord *record, uint8_t *byte_out, uint32_t timeout_ms);

}  // namespace kormelt
