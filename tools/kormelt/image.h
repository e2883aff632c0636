// Image files as the tool sees them: whole files in memory, the CRC trailer
// in their last two bytes, and the sealing of firmware into an image. The
// input formats that carry addresses have readers of their own (intel_hex.h,
// srecord.h, elf_image.h) over the image builder (image_builder.h).
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
// The largest Intel HEX or S-record text read. Records of 16 data bytes, the
// usual length, take 45 characters with CRLF in HEX and 48 as S3 records,
// so an image of IMAGE_MAX_BYTES takes about 45 or 48 MiB; the rest is room
// for address records and shorter lines.
constexpr size_t HEX_TEXT_MAX_BYTES = size_t{64} << 20;
// The largest ELF file read. Besides the bytes it loads, an ELF file holds
// its symbols and debugging sections, often many times the firmware's size.
constexpr size_t ELF_FILE_MAX_BYTES = size_t{256} << 20;
// What is read of a file before its format is known: enough for any format.
constexpr size_t INPUT_READ_MAX_BYTES = ELF_FILE_MAX_BYTES;

struct Trailer {
    bool present;       // the file holds at least the two trailer bytes
    uint16_t stored;    // last two bytes, high byte first
    uint16_t computed;  // CRC of everything before them
    size_t data_bytes;  // bytes before the trailer
};

Trailer InspectTrailer(const Bytes &image);

// A CRC as people read it: "0x1D0F".
std::string CrcText(uint16_t crc);

// An image's size and CRC as the tool's lines tell them: "30002 bytes, CRC 0x1D0F".
std::string SizeAndCrcText(size_t bytes, uint16_t crc);

// The data followed by its CRC, high byte first.
Bytes Seal(const Bytes &data);

enum class InputFormat { Raw, IntelHex, SRecord, Elf };

// "raw binary", "Intel HEX", "Motorola S-record", "ELF".
const char *InputFormatName(InputFormat format);
// The word of --format: "raw", "ihex", "srec", "elf".
const char *InputFormatWord(InputFormat format);
// The format of a --format word; false for any other word.
bool InputFormatFromWord(const std::string &word, InputFormat *format);

// The format by the name's extension, any case: .hex, .ihex and .ihx are
// Intel HEX; .srec, .s19, .s28, .s37 and .mot S-records; .elf and .axf ELF;
// anything else raw.
InputFormat GuessInputFormat(const std::string &path);

// The format a file's bytes show, if they show one: the ELF magic, or a
// first line that is an S-record or an Intel HEX record.
bool FormatFromContent(const Bytes &content, InputFormat *format);

// The format a file's bytes show: the ELF magic, or a first line that is
// an S-record (S0 to S9 and hex digits) or an Intel HEX record (':' and hex
// digits); otherwise what its name says. A file that is none of these is
// raw, so a HEX or ELF file is never taken as raw firmware by mistake.
InputFormat DetectInputFormat(const Bytes &content, const std::string &path);

// The most bytes read of a file of this format. A raw file is firmware
// (image_file false: the most an image may hold) or an image (true: that
// and its CRC).
size_t InputReadBound(InputFormat format, bool image_file);

}  // namespace kormelt::tool
