// Motorola S-record input: a reader of one record, and the reader of a
// whole text that places the data records through the image builder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/kormelt/firmware.h"
#include "tools/kormelt/image_builder.h"

namespace kormelt::tool {

struct SRecord {
    int type = 0;               // the digit after 'S'
    uint64_t address = 0;       // 2, 3 or 4 bytes as the type says; a count or start address for some types
    std::vector<uint8_t> data;  // the bytes between address and checksum
};

// One line (trailing white space removed, starting with 'S') into *record.
// False with the reason when it is not a well-formed record of a known
// type, its byte count disagrees with its length, its checksum is wrong, or
// a record of a type without data carries some.
bool ReadSRecord(const std::string &line, SRecord *record, std::string *error);

// Places the data records (S1, S2, S3) of an S-record text through
// builder; notes the header (S0) and the start address (S7, S8, S9) in
// *details and checks the record counts (S5, S6) against the data records
// before them. The termination record (S7, S8 or S9) ends the text; what
// follows it is ignored. False with a reason naming the line when a line is
// malformed, a count disagrees, a record's data run past the top of its
// addresses or the builder refuses them, or when the text ends with
// neither a termination nor a count record, or holds no data.
bool ReadSRecords(const std::string &text, ImageBuilder *builder, InputDetails *details, std::string *error);

}  // namespace kormelt::tool
