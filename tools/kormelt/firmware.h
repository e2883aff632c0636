// The firmware in an input file of any format: its bytes by address in an
// image builder, and what else its reader found there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/kormelt/image.h"
#include "tools/kormelt/image_builder.h"

namespace kormelt::tool {

struct InputDetails {
    // Where a processor would start: an ELF entry point, a HEX start
    // address record (03 as segment * 16 + offset), an S7, S8 or S9 record.
    // The device decides that itself; the tool only shows it.
    std::optional<uint64_t> start;
    std::string header;  // the data of an S0 record, as they are
    std::string kind;    // for ELF: "32-bit little-endian, ARM"
    size_t records = 0;  // data records, or ELF segments with bytes in the file
};

// Reads content as format into builder and *details. A raw file is its
// bytes at address 0. False with the reader's reason when the content is
// malformed or holds no data.
bool ReadFirmware(const Bytes &content, InputFormat format, ImageBuilder *builder, InputDetails *details,
                  std::string *error);

}  // namespace kormelt::tool
