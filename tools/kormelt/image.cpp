#include "tools/kormelt/image.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>

#include "protocol/crc16.h"

namespace kormelt::tool {

Trailer InspectTrailer(const Bytes &image) {
    if (image.size() < CRC_TRAILER_BYTES) {
        return {false, 0, CrcBlock(image.data(), image.size()), image.size()};
    }
    const size_t data_bytes = image.size() - CRC_TRAILER_BYTES;
    const uint16_t crc = CrcBlock(image.data(), data_bytes);
    const uint16_t stored = static_cast<uint16_t>(image[data_bytes] << 8 | image[data_bytes + 1]);
    return {true, stored, crc, data_bytes};
}

std::string CrcText(uint16_t crc) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", crc);
    return text;
}

std::string SizeAndCrcText(size_t bytes, uint16_t crc) { return std::to_string(bytes) + " bytes, CRC " + CrcText(crc); }

Bytes Seal(const Bytes &data) {
    const uint16_t crc = CrcBlock(data.data(), data.size());
    Bytes image = data;
    image.push_back(static_cast<uint8_t>(crc >> 8));
    image.push_back(static_cast<uint8_t>(crc & 0xFF));
    return image;
}

namespace {

constexpr uint8_t ELF_MAGIC[] = {0x7F, 'E', 'L', 'F'};
// The shortest records: ':' and 10 digits (count, address, type, checksum);
// 'S', the type and 8 digits (count, a 16-bit address, checksum).
constexpr size_t HEX_RECORD_MIN_CHARS = 11;
constexpr size_t SRECORD_MIN_CHARS = 10;

struct FormatNames {
    InputFormat format;
    const char *name;
    const char *word;
};
constexpr FormatNames FORMAT_NAMES[] = {
    {InputFormat::Raw, "raw binary", "raw"},
    {InputFormat::IntelHex, "Intel HEX", "ihex"},
    {InputFormat::SRecord, "Motorola S-record", "srec"},
    {InputFormat::Elf, "ELF", "elf"},
};

struct Extension {
    const char *extension;
    InputFormat format;
};
constexpr Extension EXTENSIONS[] = {
    {"hex", InputFormat::IntelHex}, {"ihex", InputFormat::IntelHex}, {"ihx", InputFormat::IntelHex},
    {"srec", InputFormat::SRecord}, {"s19", InputFormat::SRecord},   {"s28", InputFormat::SRecord},
    {"s37", InputFormat::SRecord},  {"mot", InputFormat::SRecord},   {"elf", InputFormat::Elf},
    {"axf", InputFormat::Elf},
};

bool IsHexDigit(uint8_t c) { return std::isxdigit(c) != 0; }

// Whether line[from..] is all hex digits and the line is long enough.
bool HexDigitsFrom(const std::string &line, size_t from, size_t min_chars) {
    return line.size() >= min_chars &&
           std::all_of(line.begin() + static_cast<std::ptrdiff_t>(from), line.end(),
                       [](char c) { return IsHexDigit(static_cast<uint8_t>(c)); });
}

}  // namespace

const char *InputFormatName(InputFormat format) {
    for (const FormatNames &names : FORMAT_NAMES) {
        if (names.format == format) {
            return names.name;
        }
    }
    return "?";
}

const char *InputFormatWord(InputFormat format) {
    for (const FormatNames &names : FORMAT_NAMES) {
        if (names.format == format) {
            return names.word;
        }
    }
    return "?";
}

bool InputFormatFromWord(const std::string &word, InputFormat *format) {
    for (const FormatNames &names : FORMAT_NAMES) {
        if (word == names.word) {
            *format = names.format;
            return true;
        }
    }
    return false;
}

InputFormat GuessInputFormat(const std::string &path) {
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return InputFormat::Raw;
    }
    std::string extension = path.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const Extension &known : EXTENSIONS) {
        if (extension == known.extension) {
            return known.format;
        }
    }
    return InputFormat::Raw;
}

bool FormatFromContent(const Bytes &content, InputFormat *format) {
    if (content.size() >= sizeof ELF_MAGIC && std::equal(std::begin(ELF_MAGIC), std::end(ELF_MAGIC), content.begin())) {
        *format = InputFormat::Elf;
        return true;
    }
    // The first line that is not blank, without its line end.
    size_t start = 0;
    while (start < content.size() && std::isspace(content[start])) {
        ++start;
    }
    size_t stop = start;
    while (stop < content.size() && content[stop] != '\n' && content[stop] != '\r') {
        ++stop;
    }
    const std::string line(content.begin() + static_cast<std::ptrdiff_t>(start),
                           content.begin() + static_cast<std::ptrdiff_t>(stop));
    if (!line.empty() && line[0] == ':' && HexDigitsFrom(line, 1, HEX_RECORD_MIN_CHARS)) {
        *format = InputFormat::IntelHex;
        return true;
    }
    if (line.size() > 1 && line[0] == 'S' && std::isdigit(static_cast<unsigned char>(line[1])) &&
        HexDigitsFrom(line, 2, SRECORD_MIN_CHARS)) {
        *format = InputFormat::SRecord;
        return true;
    }
    return false;
}

InputFormat DetectInputFormat(const Bytes &content, const std::string &path) {
    InputFormat format = InputFormat::Raw;
    return FormatFromContent(content, &format) ? format : GuessInputFormat(path);
}

size_t InputReadBound(InputFormat format, bool image_file) {
    switch (format) {
    case InputFormat::Raw:
        return image_file ? IMAGE_FILE_MAX_BYTES : IMAGE_MAX_BYTES;
    case InputFormat::IntelHex:
    case InputFormat::SRecord:
        return HEX_TEXT_MAX_BYTES;
    case InputFormat::Elf:
        return ELF_FILE_MAX_BYTES;
    }
    return 0;
}

}  // namespace kormelt::tool
