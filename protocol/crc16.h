// 16-bit CRC of frames and image files: polynomial 0x1021, MSB first,
// initial value 0xAAAA, no final XOR. Data followed by its own CRC (high byte
// first) gives 0, so receivers test for zero instead of comparing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kormelt {

constexpr uint16_t CRC_INIT = 0xAAAA;
constexpr uint16_t CRC_POLY = 0x1021;

namespace detail {
constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t reg = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = static_cast<uint16_t>((reg & 0x8000u) ? (reg << 1) ^ CRC_POLY : (reg << 1));
        }
        table[i] = reg;
    }
    return table;
}
}  // namespace detail

// Built by the compiler; the library carries it as constant data.
inline constexpr std::array<uint16_t, 256> CRC_TABLE = detail::MakeCrcTable();

// The register kept in a machine word: bits above 16 hold bytes already
// shifted out and never flow back down, so the CRC is the low 16 bits.
// The data byte is moved under the register's high byte before the XOR, so
// that only XOR, byte extract, lookup and XOR stand between one register
// value and the next; that chain, not the work, bounds long runs.
constexpr uint32_t CrcUpdateWide(uint8_t byte, uint32_t reg) {
    return CRC_TABLE[((reg ^ (uint32_t{byte} << 8)) >> 8) & 0xFFu] ^ (reg << 8);
}

constexpr uint16_t CrcUpdate(uint8_t byte, uint16_t crc) {
    return static_cast<uint16_t>(CrcUpdateWide(byte, crc));
}

static_assert(CRC_TABLE[1] == 0x1021 && CRC_TABLE[2] == 0x2042, "CRC table");
static_assert(CRC_TABLE[128] == 0x9188 && CRC_TABLE[255] == 0x1EF0, "CRC table");

// CRC of a whole block started from CRC_INIT. The file check chains
// CrcUpdateWide itself, as its data come in pieces. Inline, so that host
// programs such as the tool take it from this header without linking any of
// the library's objects.
inline uint16_t CrcBlock(const uint8_t *data, size_t length) {
    uint32_t reg = CRC_INIT;
    for (size_t i = 0; i < length; ++i) {
        reg = CrcUpdateWide(data[i], reg);
    }
    return static_cast<uint16_t>(reg);
}

}  // namespace kormelt
