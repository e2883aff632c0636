#include "tools/kormelt/intel_hex.h"

#include <cctype>

#include "protocol/hex.h"
#include "tools/kormelt/image_builder.h"

namespace kormelt::tool {
namespace {

// Record layout: ':' count(1) address(2) type(1) data(count) checksum(1).
constexpr size_t HEX_FIXED_BYTES = 5;
constexpr size_t HEX_DATA_OFFSET = 4;
constexpr uint8_t HEX_DATA = 0x00;
constexpr uint8_t HEX_END_OF_FILE = 0x01;
constexpr uint8_t HEX_SEGMENT_ADDRESS = 0x02;
constexpr uint8_t HEX_SEGMENT_START = 0x03;
constexpr uint8_t HEX_LINEAR_ADDRESS = 0x04;
constexpr uint8_t HEX_LINEAR_START = 0x05;
constexpr unsigned SEGMENT_SHIFT = 4;  // a segment is counted in 16-byte paragraphs
constexpr unsigned LINEAR_SHIFT = 16;
constexpr uint64_t LINEAR_SPAN = uint64_t{1} << 32;  // linear addressing wraps at 4 GiB
constexpr int BYTE_DIGITS = 2;

// The record's bytes, from the digits after the colon.
bool DecodeDigits(const std::string &line, std::vector<uint8_t> *bytes, std::string *error) {
    const size_t digits = line.size() - 1;
    if (digits % 2 != 0) {
        *error = "odd number of hex digits";
        return false;
    }
    if (digits < 2 * HEX_FIXED_BYTES) {
        *error = "record too short (a record has at least 10 hex digits after ':')";
        return false;
    }
    const size_t bad_at = HexDecode(line.data() + 1, digits, bytes);
    if (bad_at == digits) {
        return true;
    }
    const char bad = line[1 + bad_at];
    const size_t column = bad_at + 2;  // counted from 1, after the colon
    const auto code = static_cast<unsigned char>(bad);
    const std::string where = " in column " + std::to_string(column) + " is not a hex digit";
    *error = code >= 0x80 ? "the byte " + HexNumber(code, BYTE_DIGITS) + where +
                                " (not ASCII: a HEX file is plain text)"
             : std::isprint(code) ? "'" + std::string(1, bad) + "'" + where
                                  : "a control character (" + HexNumber(code, BYTE_DIGITS) + ")" + where;
    return false;
}

bool CheckLength(const HexRecord &record, size_t expected, const char *what, std::string *error) {
    if (record.data.size() != expected) {
        *error = std::string(what) + " record must carry " + std::to_string(expected) + " data bytes, not " +
                 std::to_string(record.data.size());
        return false;
    }
    return true;
}

// Where the reader stands between records: the address base the last
// address record set, and whether it was a segment.
struct HexAddressing {
    uint64_t base = 0;
    bool segmented = false;
};

// A data record's bytes go to the builder in runs: a linear record that
// crosses the top of the 4 GiB space wraps to address 0, a segment's run
// past offset 0xFFFF goes on above it, as in the flat image the device
// holds.
bool PlaceData(const HexAddressing &at, const HexRecord &record, ImageBuilder *builder, std::string *error) {
    const uint64_t first = at.base + record.offset;
    if (at.segmented) {
        return builder->Place(first, record.data.data(), record.data.size(), error);
    }
    const uint64_t start = first % LINEAR_SPAN;
    const size_t before_wrap =
        static_cast<size_t>(std::min<uint64_t>(record.data.size(), LINEAR_SPAN - start));
    return builder->Place(start, record.data.data(), before_wrap, error) &&
           builder->Place(0, record.data.data() + before_wrap, record.data.size() - before_wrap, error);
}

}  // namespace

bool ReadHexRecord(const std::string &line, HexRecord *record, std::string *error) {
    if (line.empty() || line[0] != ':') {
        *error = "a record must start with ':'";
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!DecodeDigits(line, &bytes, error)) {
        return false;
    }
    const size_t count = bytes[0];
    if (bytes.size() != count + HEX_FIXED_BYTES) {
        *error = "the byte count says " + std::to_string(count) + " data bytes but the record holds " +
                 std::to_string(bytes.size() - HEX_FIXED_BYTES);
        return false;
    }
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    const uint8_t expected = static_cast<uint8_t>(0x100 - sum);
    if (bytes.back() != expected) {
        *error = "bad checksum " + HexNumber(bytes.back(), BYTE_DIGITS) + ", the record's bytes call for " +
                 HexNumber(expected, BYTE_DIGITS);
        return false;
    }
    record->offset = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
    record->type = bytes[3];
    record->data.assign(bytes.begin() + HEX_DATA_OFFSET, bytes.end() - 1);
    return true;
}

bool ParseIntelHex(const std::string &text, Bytes *image, std::string *error) {
    ImageBuilder builder;
    HexAddressing at;
    bool ended = false;
    size_t line_number = 0;
    size_t start = 0;
    HexRecord record;
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
        if (!ReadHexRecord(line, &record, &problem)) {
            return fail(problem);
        }
        switch (record.type) {
        case HEX_DATA:
            if (!PlaceData(at, record, &builder, &problem)) {
                return fail(problem);
            }
            break;
        case HEX_END_OF_FILE:
            if (!CheckLength(record, 0, "an end-of-file", &problem)) {
                return fail(problem);
            }
            ended = true;
            break;
        case HEX_SEGMENT_ADDRESS:
        case HEX_LINEAR_ADDRESS: {
            const bool segment = record.type == HEX_SEGMENT_ADDRESS;
            if (!CheckLength(record, 2, segment ? "an extended segment address" : "an extended linear address",
                             &problem)) {
                return fail(problem);
            }
            const uint64_t value = static_cast<uint64_t>(record.data[0] << 8 | record.data[1]);
            at = {value << (segment ? SEGMENT_SHIFT : LINEAR_SHIFT), segment};
            break;
        }
        case HEX_SEGMENT_START:
        case HEX_LINEAR_START:
            // Start addresses say where a CPU would begin executing; the
            // device decides that itself, so they carry nothing for the image.
            if (!CheckLength(record, 4, "a start address", &problem)) {
                return fail(problem);
            }
            break;
        default:
            return fail("unknown record type " + HexNumber(record.type, BYTE_DIGITS));
        }
    }
    if (!ended) {
        *error = "no end-of-file record (:00000001FF) after line " + std::to_string(line_number) +
                 "; the file may be cut short";
        return false;
    }
    if (builder.runs() == 0) {
        *error = "no data records: the file holds nothing to program";
        return false;
    }
    *image = builder.Take();
    return true;
}

}  // namespace kormelt::tool
