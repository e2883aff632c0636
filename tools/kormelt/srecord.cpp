#include "tools/kormelt/srecord.h"

#include <cctype>

#include "tools/kormelt/record_text.h"

namespace kormelt::tool {
namespace {

// Record layout: 'S' type count(1) address(2, 3 or 4) data checksum(1),
// the count covering address, data and checksum.
constexpr int TYPE_HEADER = 0;
constexpr int TYPE_RESERVED = 4;
constexpr int TYPE_COUNT_16 = 5;
constexpr int TYPE_COUNT_24 = 6;
constexpr int TYPE_START_32 = 7;
constexpr int TYPE_START_24 = 8;
constexpr int TYPE_START_16 = 9;
constexpr int BYTE_DIGITS = 2;
constexpr int BITS_PER_BYTE = 8;
constexpr char FILE_KIND[] = "an S-record file";

// Address bytes of each record type, S0 to S9; S4 is reserved.
constexpr size_t ADDRESS_BYTES[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

bool IsData(int type) { return type >= 1 && type <= 3; }

}  // namespace

bool ReadSRecord(const std::string &line, SRecord *record, std::string *error) {
    if (line.empty() || line[0] != 'S') {
        *error = "a record must start with 'S'";
        return false;
    }
    if (line.size() < 2 || !std::isdigit(static_cast<unsigned char>(line[1]))) {
        *error = "a record type is a digit after 'S', from S0 to S9";
        return false;
    }
    const int type = line[1] - '0';
    if (type == TYPE_RESERVED) {
        *error = "S4 is a reserved record type, used by no S-record file";
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!DecodeHexPairs(line, 2, FILE_KIND, &bytes, error)) {
        return false;
    }
    const size_t address_bytes = ADDRESS_BYTES[type];
    if (bytes.size() < address_bytes + 2) {
        *error = "record too short: an S" + std::to_string(type) + " record holds a byte count, a " +
                 std::to_string(address_bytes) + "-byte address and a checksum";
        return false;
    }
    const size_t count = bytes[0];
    if (bytes.size() != count + 1) {
        *error = "the byte count says " + std::to_string(count) + " bytes follow but the record holds " +
                 std::to_string(bytes.size() - 1);
        return false;
    }
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    const auto expected = static_cast<uint8_t>(~sum);
    if (bytes.back() != expected) {
        *error = "bad checksum " + HexNumber(bytes.back(), BYTE_DIGITS) + ", the record's bytes call for " +
                 HexNumber(expected, BYTE_DIGITS);
        return false;
    }
    uint64_t address = 0;
    for (size_t i = 1; i <= address_bytes; ++i) {
        address = address << BITS_PER_BYTE | bytes[i];
    }
    const size_t data_bytes = bytes.size() - address_bytes - 2;
    if (type > TYPE_RESERVED && data_bytes != 0) {
        *error = "an S" + std::to_string(type) + " record carries no data, but this one carries " +
                 std::to_string(data_bytes) + (data_bytes == 1 ? " byte" : " bytes");
        return false;
    }
    record->type = type;
    record->address = address;
    record->data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(1 + address_bytes), bytes.end() - 1);
    return true;
}

bool ReadSRecords(const std::string &text, ImageBuilder *builder, InputDetails *details, std::string *error) {
    bool have_header = false;
    int last_type = -1;
    size_t data_records = 0;
    SRecord record;
    RecordLinesEnd end;
    const auto on_line = [&](const std::string &line, bool *ended, std::string *problem) {
        if (!ReadSRecord(line, &record, problem)) {
            return false;
        }
        last_type = record.type;
        if (IsData(record.type)) {
            // A record's data stay within its own addresses: they do not
            // wrap to 0, nor go on above a 16-bit or 24-bit space.
            const uint64_t space = uint64_t{1} << (BITS_PER_BYTE * ADDRESS_BYTES[record.type]);
            if (record.data.size() > space - record.address) {
                *problem = "the data run past " + HexNumber(space - 1, BYTE_DIGITS * static_cast<int>(
                                                                             ADDRESS_BYTES[record.type])) +
                           ", the top of the " + std::to_string(BITS_PER_BYTE * ADDRESS_BYTES[record.type]) +
                           "-bit addresses of an S" + std::to_string(record.type) + " record";
                return false;
            }
            if (!builder->Place(record.address, record.data.data(), record.data.size(), problem)) {
                return false;
            }
            ++data_records;
            details->records += record.data.empty() ? 0 : 1;
            return true;
        }
        switch (record.type) {
        case TYPE_HEADER:
            // Only the first header names the file; tools that join files
            // may leave more.
            if (!have_header) {
                details->header.assign(record.data.begin(), record.data.end());
                have_header = true;
            }
            break;
        case TYPE_COUNT_16:
        case TYPE_COUNT_24:
            if (record.address != data_records) {
                *problem = "the count record says " + std::to_string(record.address) + " data records came before it, but " +
                           std::to_string(data_records) + " did";
                return false;
            }
            break;
        case TYPE_START_32:
        case TYPE_START_24:
        case TYPE_START_16:
            details->start = record.address;
            *ended = true;
            break;
        default:
            break;
        }
        return true;
    };
    if (!ReadRecordLines(text, on_line, &end, error)) {
        return false;
    }
    // Some tools write no termination record when they know no start
    // address, but then end with a count; a text that ends with neither
    // was probably cut short.
    if (!end.ended && last_type != TYPE_COUNT_16 && last_type != TYPE_COUNT_24) {
        *error = "no termination record (S7, S8 or S9) nor a count record (S5, S6) at the end, after line " +
                 std::to_string(end.last_line) + "; the file may be cut short";
        return false;
    }
    if (builder->runs() == 0) {
        *error = "no data records: the file holds nothing to program";
        return false;
    }
    return true;
}

}  // namespace kormelt::tool
