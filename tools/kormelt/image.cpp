#include "tools/kormelt/image.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "protocol/crc16.h"
#include "protocol/protocol.h"

namespace kormelt::tool {
namespace {

// Intel HEX record layout: ':' count(1) address(2) type(1) data(count) checksum(1).
constexpr size_t HEX_FIXED_BYTES = 5;
constexpr uint8_t HEX_DATA = 0x00;
constexpr uint8_t HEX_END_OF_FILE = 0x01;
constexpr uint8_t HEX_SEGMENT_ADDRESS = 0x02;
constexpr uint8_t HEX_SEGMENT_START = 0x03;
constexpr uint8_t HEX_LINEAR_ADDRESS = 0x04;
constexpr uint8_t HEX_LINEAR_START = 0x05;
constexpr unsigned SEGMENT_SHIFT = 4;  // a segment is counted in 16-byte paragraphs
constexpr unsigned LINEAR_SHIFT = 16;
constexpr uint64_t LINEAR_MASK = 0xFFFFFFFF;  // linear addressing wraps at 4 GiB

std::string Hex(uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// One record's bytes, from the digits after the colon.
bool DecodeRecord(const std::string &line, Bytes *bytes, std::string *error) {
    const size_t digits = line.size() - 1;
    if (digits % 2 != 0) {
        *error = "odd number of hex digits";
        return false;
    }
    if (digits < 2 * HEX_FIXED_BYTES) {
        *error = "record too short (a record has at least 10 hex digits after ':')";
        return false;
    }
    bytes->clear();
    for (size_t i = 1; i < line.size(); i += 2) {
        const int high = HexDigit(line[i]);
        const int low = HexDigit(line[i + 1]);
        if (high < 0 || low < 0) {
            const char bad = high < 0 ? line[i] : line[i + 1];
            const size_t column = (high < 0 ? i : i + 1) + 1;
            const auto code = static_cast<unsigned char>(bad);
            const std::string where = " in column " + std::to_string(column) + " is not a hex digit";
            *error = code >= 0x80          ? "the byte " + Hex(code, 2) + where + " (not ASCII: a HEX file is plain text)"
                     : std::isprint(code) ? "'" + std::string(1, bad) + "'" + where
                                           : "a control character (" + Hex(code, 2) + ")" + where;
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

struct HexImage {
    Bytes data;
    std::vector<bool> filled;
    size_t data_records = 0;
};

bool CheckLength(const Bytes &record, size_t expected, const char *what, std::string *error) {
    if (record[0] != expected) {
        *error = std::string(what) + " record must carry " + std::to_string(expected) + " data bytes, not " +
                 std::to_string(record[0]);
        return false;
    }
    return true;
}

}  // namespace

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

bool ParseIntelHex(const std::string &text, Bytes *image, std::string *error) {
    HexImage hex;
    uint64_t base = 0;
    bool segmented = false;
    bool ended = false;
    size_t line_number = 0;
    size_t start = 0;
    Bytes record;
    std::string problem;
    // Everything after the end-of-file record is ignored, as the format
    // defines; some tools leave a DOS end-of-file byte or blank lines there.
    while (!ended && start < text.size()) {
        const size_t newline = text.find('\n', start);
        const size_t stop = newline == std::string::npos ? text.size() : newline;
        std::string line = text.substr(start, stop - start);
        start = stop + 1;
        ++line_number;
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
            line.pop_back();
        }
        const auto fail = [&](const std::string &why) {
            *error = "line " + std::to_string(line_number) + ": " + why;
            return false;
        };
        if (line.empty()) {
            continue;
        }
        if (line[0] != ':') {
            return fail("a record must start with ':'");
        }
        if (!DecodeRecord(line, &record, &problem)) {
            return fail(problem);
        }
        const size_t count = record[0];
        if (record.size() != count + HEX_FIXED_BYTES) {
            return fail("the byte count says " + std::to_string(count) + " data bytes but the record holds " +
                        std::to_string(record.size() - HEX_FIXED_BYTES));
        }
        uint8_t sum = 0;
        for (size_t i = 0; i + 1 < record.size(); ++i) {
            sum = static_cast<uint8_t>(sum + record[i]);
        }
        const uint8_t expected = static_cast<uint8_t>(0x100 - sum);
        if (record.back() != expected) {
            return fail("bad checksum " + Hex(record.back(), 2) + ", the record's bytes call for " + Hex(expected, 2));
        }
        const uint32_t offset = static_cast<uint32_t>(record[1] << 8 | record[2]);
        const uint8_t type = record[3];
        const uint8_t *data = record.data() + 4;
        switch (type) {
        case HEX_DATA: {
            if (count == 0) {
                break;
            }
            std::vector<uint64_t> addresses(count);
            uint64_t highest = 0;
            for (size_t i = 0; i < count; ++i) {
                // A segment's data that run past offset 0xFFFF go on above
                // it, as they would in the flat image the device holds,
                // rather than wrap onto the segment's first bytes.
                addresses[i] = segmented ? base + offset + i : (base + offset + i) & LINEAR_MASK;
                if (addresses[i] >= IMAGE_MAX_BYTES) {
                    return fail("address " + Hex(addresses[i], 8) + " lies beyond the " +
                                std::to_string(IMAGE_MAX_BYTES >> 20) +
                                " MiB an image may span; the image starts at device address 0, so a HEX file "
                                "linked for another flash base cannot be sealed as it is");
                }
                highest = std::max(highest, addresses[i]);
            }
            if (highest >= hex.data.size()) {
                hex.data.resize(highest + 1, ERASED_FLASH_BYTE);
                hex.filled.resize(highest + 1, false);
            }
            for (size_t i = 0; i < count; ++i) {
                if (hex.filled[addresses[i]]) {
                    return fail("address " + Hex(addresses[i], 8) + " was already filled by an earlier record");
                }
                hex.filled[addresses[i]] = true;
                hex.data[addresses[i]] = data[i];
            }
            ++hex.data_records;
            break;
        }
        case HEX_END_OF_FILE:
            if (!CheckLength(record, 0, "an end-of-file", &problem)) {
                return fail(problem);
            }
            ended = true;
            break;
        case HEX_SEGMENT_ADDRESS:
            if (!CheckLength(record, 2, "an extended segment address", &problem)) {
                return fail(problem);
            }
            base = static_cast<uint64_t>(data[0] << 8 | data[1]) << SEGMENT_SHIFT;
            segmented = true;
            break;
        case HEX_LINEAR_ADDRESS:
            if (!CheckLength(record, 2, "an extended linear address", &problem)) {
                return fail(problem);
            }
            base = static_cast<uint64_t>(data[0] << 8 | data[1]) << LINEAR_SHIFT;
            segmented = false;
            break;
        case HEX_SEGMENT_START:
        case HEX_LINEAR_START:
            // Start addresses say where a CPU would begin executing; the
            // device decides that itself, so they carry nothing for the image.
            if (!CheckLength(record, 4, "a start address", &problem)) {
                return fail(problem);
            }
            break;
        default:
            return fail("unknown record type " + Hex(type, 2));
        }
    }
    if (!ended) {
        *error = "no end-of-file record (:00000001FF) after line " + std::to_string(line_number) +
                 "; the file may be cut short";
        return false;
    }
    if (hex.data_records == 0) {
        *error = "no data records: the file holds nothing to program";
        return false;
    }
    *image = std::move(hex.data);
    return true;
}

}  // namespace kormelt::tool
