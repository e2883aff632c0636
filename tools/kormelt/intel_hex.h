// Intel HEX input: a reader of one record, and the reader of a whole text
// that places the data records through the image builder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/kormelt/image.h"

namespace kormelt::tool {

struct HexRecord {
    uint8_t type = 0;
    uint16_t offset = 0;        // the record's 16-bit address field
    std::vector<uint8_t> data;  // its data bytes, count of them
};

// One line (trailing white space removed, starting with ':') into *record.
// False with the reason when it is not a well-formed record or its checksum
// is wrong.
bool ReadHexRecord(const std::string &line, HexRecord *record, std::string *error);

// Places the data records of an Intel HEX text from address 0 upward, gaps
// filled with ERASED_FLASH_BYTE. False with a reason naming the line when a
// line is malformed, a checksum is wrong, records overlap, or an address
// lies beyond IMAGE_MAX_BYTES. Data of a segment address record (type 02)
// that run past offset 0xFFFF go on at the segment base + 0x10000.
bool ParseIntelHex(const std::string &text, Bytes *image, std::string *error);

}  // namespace kormelt::tool
