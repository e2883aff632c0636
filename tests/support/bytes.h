// Byte strings the tests build: several joined into one, and bytes followed
// by their CRC, high byte first, which is both a sealed image and the
// decoded bytes of a good frame.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "protocol/crc16.h"

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const std::vector<uint8_t> &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

inline std::vector<uint8_t> WithCrc(std::vector<uint8_t> data) {
    const uint16_t crc = kormelt::CrcBlock(data.data(), data.size());
    data.push_back(static_cast<uint8_t>(crc >> 8));
    data.push_back(static_cast<uint8_t>(crc & 0xFF));
    return data;
}
