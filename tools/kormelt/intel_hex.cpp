#include "tools/kormelt/intel_hex.h"

#include <algorithm>

#include "tools/kormelt/record_text.h"

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
constexpr char FILE_KIND[] = "a HEX file";

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
    if ((line.size() - 1) % 2 == 0 && line.size() - 1 < 2 * HEX_FIXED_BYTES) {
        *error = "record too short (a record has at least 10 hex digits after ':')";
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!DecodeHexPairs(line, 1, FILE_KIND, &bytes, error)) {
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

bool ReadIntelHex(const std::string &text, ImageBuilder *builder, InputDetails *details, std::string *error) {
    HexAddressing at;
    HexRecord record;
    RecordLinesEnd end;
    const auto on_line = [&](const std::string &line, bool *ended, std::string *problem) {
        if (!ReadHexRecord(line, &record, problem)) {
            return false;
        }
        switch (record.type) {
        case HEX_DATA:
            if (!PlaceData(at, record, builder, problem)) {
                return false;
            }
            details->records += record.data.empty() ? 0 : 1;
            break;
        case HEX_END_OF_FILE:
            if (!CheckLength(record, 0, "an end-of-file", problem)) {
                return false;
            }
            *ended = true;
            break;
        case HEX_SEGMENT_ADDRESS:
        case HEX_LINEAR_ADDRESS: {
            const bool segment = record.type == HEX_SEGMENT_ADDRESS;
            if (!CheckLength(record, 2, segment ? "an extended segment address" : "an extended linear address",
                             problem)) {
                return false;
            }
            const uint64_t value = static_cast<uint64_t>(record.data[0] << 8 | record.data[1]);
            at = {value << (segment ? SEGMENT_SHIFT : LINEAR_SHIFT), segment};
            break;
        }
        case HEX_SEGMENT_START:
        case HEX_LINEAR_START: {
            // Where a processor would begin executing; the device decides
            // that itself, so it is only shown.
            if (!CheckLength(record, 4, "a start address", problem)) {
                return false;
            }
            const uint64_t high = static_cast<uint64_t>(record.data[0] << 8 | record.data[1]);
            const uint64_t low = static_cast<uint64_t>(record.data[2] << 8 | record.data[3]);
            details->start = record.type == HEX_SEGMENT_START ? (high << SEGMENT_SHIFT) + low : high << LINEAR_SHIFT | low;
            break;
        }
        default:
            *problem = "unknown record type " + HexNumber(record.type, BYTE_DIGITS);
            return false;
        }
        return true;
    };
    if (!ReadRecordLines(text, on_line, &end, error)) {
        return false;
    }
    if (!end.ended) {
        *error = "no end-of-file record (:00000001FF) after line " + std::to_string(end.last_line) +
                 "; the file may be cut short";
        return false;
    }
    if (builder->runs() == 0) {
        *error = "no data records: the file holds nothing to program";
        return false;
    }
    return true;
}

}  // namespace kormelt::tool
