// Image files as the tool sees them: whole files in memory, the CRC trailer
// in their last two bytes, and the making of an image from raw binary or
// Intel HEX input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/protocol.h"

namespace kormelt::tool {

using Bytes = std::vector<uint8_t>;

constexpr size_t IMAGE_MAX_BYTES = FLASH_MAX_BYTES;
constexpr size_t CRC_TRAILER_BYTES = 2;
// An image of the trailer alone holds no firmware, whatever its CRC says
// (the CRC of nothing is 0xAAAA, so the file AA AA passes the check).
constexpr size_t IMAGE_FILE_MIN_BYTES = CRC_TRAILER_BYTES + 1;
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

// Places the data records of an Intel HEX text from address 0 upward, gaps
// filled with ERASED_FLASH_BYTE. False with a reason naming the line when a
// line is malformed, a checksum is wrong, records overlap, or an address
// lies beyond IMAGE_MAX_BYTES. Data of a segment address record (type 02)
// that run past offset 0xFFFF go on at the segment base + 0x10000.
bool ParseIntelHex(const std::string &text, Bytes *image, std::string *error);

}  // namespace kormelt::tool
