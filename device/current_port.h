// The one port the device operations work on: filled by KORMELT_Open,
// released by KORMELT_Close.
#pragma once

#include <cstddef>

#include "device/api.h"
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

}  // namespace kormelt
