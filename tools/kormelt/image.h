// Image files as the tool sees them: whole files in memory, the CRC trailer
// in their last two bytes, and the sealing of firmware into an image. The
// input formats that carry addresses have readers of their own
// (intel_hex.h) over the image builder (image_builder.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/protocol.h"

namespace kormelt::tool {

using Bytes = std::vector<uint8_t>;

constexpr size_t IMAGE_MAX_BYTES = FLASH_MAX_BYTES;
// The largest image file: the most firmware an image may hold, and its CRC.
constexpr size_t IMAGE_FILE_MAX_BYTES = IMAGE_MAX_BYTES + CRC_TRAILER_BYTES;
// The largest Intel HEX text read. Records of 16 data bytes, the usual
// length, take 45 characters with CRLF for those 16 bytes, so an image of
// IMAGE_MAX_BYTES takes about 45 MiB; the rest is room for address records.
constexpr size_t HEX_TEXT_MAX_BYTES = size_t{64} << 20;

struct Trailer {
    bool present;       // the file holds at least the two trailer bytes
    uint16_t stored;    // last two bytes, high byte first
    uint16_t computed;  // CRC of everything before them
    size_t data_bytes;  // bytes before the trailer
};

Trailer InspectTrailer(const Bytes &image);

// A CRC as people read it: "0x1D0F".
std::string CrcText(uint16_t crc);

// The data followed by its CRC, high byte first.
Bytes Seal(const Bytes &data);

enum class InputFormat { Raw, IntelHex };

// Intel HEX by the name's extension (.hex, .ihex, any case), raw otherwise.
InputFormat GuessInputFormat(const std::string &path);

}  // namespace kormelt::tool
