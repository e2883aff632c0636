// Bytes written as hex digits, as the tools' texts carry them: the value of
// one digit, the bytes of a run of digits, and bytes as digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kormelt {

// The value of a hex digit of either case; -1 for any other character.
constexpr int HexDigitValue(char c) {
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

// The bytes of count digits at digits, two to a byte, high digit first
// (count is even). Returns the index of the first character that is no hex
// digit, or count when every one is.
inline size_t HexDecode(const char *digits, size_t count, std::vector<uint8_t> *bytes) {
    bytes->clear();
    for (size_t i = 0; i + 1 < count; i += 2) {
        const int high = HexDigitValue(digits[i]);
        const int low = HexDigitValue(digits[i + 1]);
        if (high < 0 || low < 0) {
            return high < 0 ? i : i + 1;
        }
        bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return count;
}

// count bytes as two lower-case hex digits each, high digit first.
inline std::string HexText(const uint8_t *bytes, size_t count) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text.push_back(DIGITS[bytes[i] >> 4]);
        text.push_back(DIGITS[bytes[i] & 0x0F]);
    }
    return text;
}

}  // namespace kormelt
