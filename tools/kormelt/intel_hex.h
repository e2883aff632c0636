// Intel HEX input: a reader of one record, and the reader of a whole text
// that places the data records through the image builder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/kormelt/firmware.h"
#include "tools/kormelt/image_builder.h"

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

// Places the data records of an Intel HEX text through builder and notes a
// start address record in *details. False with a reason naming the line
// when a line is malformed, a checksum is wrong, or the builder refuses a
// record (overlaps, data too far apart), or when the text has no
// end-of-file record or no data. Data of a segment address record (type
// 02) that run past offset 0xFFFF go on at the segment base + 0x10000.
bool ReadIntelHex(const std::string &text, ImageBuilder *builder, InputDetails *details, std::string *error);

}  // namespace kormelt::tool
