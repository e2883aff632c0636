#include "tools/kormelt/image.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

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

Bytes Seal(const Bytes &data) {
    const uint16_t crc = CrcBlock(data.data(), data.size());
    Bytes image = data;
    image.push_back(static_cast<uint8_t>(crc >> 8));
    image.push_back(static_cast<uint8_t>(crc & 0xFF));
    return image;
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
    return extension == "hex" || extension == "ihex" ? InputFormat::IntelHex : InputFormat::Raw;
}

}  // namespace kormelt::tool
