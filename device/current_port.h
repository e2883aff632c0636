// The one port the device operations work on: filled by KORMELT_Open,
// released by KORMELT_Close.
#pragma once

#include <cstddef>

#include "device/api.h"
#include "link/frame.h"
#include "link/serial_port.h"
#include "protocol/status_names.h"

// The progress callback under the library's own name for it.
using ProgressCallback = KORMELT_ProgressCallback;

namespace kormelt {

// Null when no port is open.
extern PortRecord *CurrentPort;

// Working storage of each device call.
constexpr size_t REQUEST_BUFFER_BYTES = 256;
constexpr size_t REPLY_BUFFER_BYTES = 256;
// A receive reads far enough to take in the longest reply the buffer holds,
// every byte of it stuffed, with its flags.
static_assert(REPLY_LINE_BYTE_LIMIT >= 2 * REPLY_BUFFER_BYTES + 2, "a whole reply fits one receive's byte limit");

}  // namespace kormelt
