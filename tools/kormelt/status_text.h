// What the library's status codes mean to the person at the keyboard: what
// happened and what to try next.
#pragma once

#include <cstdint>
#include <string>

#include "tools/kormelt/image.h"
#include "tools/kormelt/phase.h"
#include "tools/kormelt/port_map.h"
#include "tools/kormelt/port_probe.h"

namespace kormelt::tool {

// Why the image at path, whose bytes are image, is refused: no firmware in
// it (two bytes or fewer), or the library's check failed with status (-1 or
// 15), the latter with the stored and computed CRC in hexadecimal so that a
// file without a trailer and a file with a wrong one can be told apart.
// Empty when the image is fine.
std::string ImageRefusalText(const std::string &path, const Bytes &image, int32_t status);

// Why a device phase of a flash run failed. percent is the last progress the
// phase reported; image is the file being uploaded; exchange_seconds is how
// long the failing call ran since its last progress report, which tells a
// silent device (the whole reply timeout) from a line that failed at once.
// A search that found nothing lists the ports of map with their state now,
// as probe finds it; no other failure probes. port is the COMn the search
// found the device on (0 before that): a write that failed, or a line that
// failed before a silent device would have timed out, on a port whose
// device gone says has left, is told as that port having disappeared.
std::string PhaseFailureText(Phase phase, int32_t status, int percent, const std::string &image,
                             double exchange_seconds, const PortMap &map, const PortProber &probe,
                             uint32_t port, const PortGoneCheck &gone);

}  // namespace kormelt::tool
