// Lines of the text formats that write bytes as hex digits (Intel HEX,
// S-records), as the tests and fuzzers write them: a record from its bytes
// with the checksum its format computes, records joined into a file, and a
// record broken on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Intel HEX: the two's complement of the bytes' sum.
inline uint8_t IntelHexChecksum(uint8_t sum) { return static_cast<uint8_t>(0x100 - sum); }

// S-records: the ones' complement of the bytes' sum.
inline uint8_t SRecordChecksum(uint8_t sum) { return static_cast<uint8_t>(~sum); }

// start, then bytes and their checksum as upper-case hex digits.
inline std::string HexRecordLine(const std::string &start, const std::vector<uint8_t> &bytes,
                             uint8_t (*checksum)(uint8_t sum)) {
    static const char digits[] = "0123456789ABCDEF";
    uint8_t sum = 0;
    std::string line = start;
    for (const uint8_t b : bytes) {
        sum = static_cast<uint8_t>(sum + b);
        line += digits[b >> 4];
        line += digits[b & 0x0F];
    }
    const uint8_t check = checksum(sum);
    line += digits[check >> 4];
    line += digits[check & 0x0F];
    return line;
}

inline std::string Lines(const std::vector<std::string> &lines, const std::string &newline = "\n") {
    std::string text;
    for (const std::string &line : lines) {
        text += line + newline;
    }
    return text;
}

// line with "00" for its checksum.
inline std::string WithZeroChecksum(std::string line) {
    line.replace(line.size() - 2, 2, "00");
    return line;
}

// line one digit short: an odd number of digits.
inline std::string WithoutLastDigit(std::string line) {
    line.pop_back();
    return line;
}

// line with c at index at.
inline std::string WithCharAt(std::string line, size_t at, char c) {
    line[at] = c;
    return line;
}
