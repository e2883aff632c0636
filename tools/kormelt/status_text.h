// What the library's status codes mean to the person at the keyboard: what
// happened and what to try next.
#pragma once

#include <cstdint>
#include <string>

#include "tools/kormelt/phase.h"

namespace kormelt::tool {

// Why the image check refused path (status -1 or 15 of KORMELT_CheckCRC),
// with the stored and computed CRC in hexadecimal so that a file without a
// trailer and a file with a wrong one can be told apart.
std::string CheckFailureText(const std::string &path, int32_t status);

// Why a device phase of a flash run failed. percent is the last progress the
// phase reported; image is the file being uploaded.
std::string PhaseFailureText(Phase phase, int32_t status, int percent, const std::string &image);

// COM1..COM7, the device each stands for here and its state right now.
std::string PortsTriedText();

}  // namespace kormelt::tool
