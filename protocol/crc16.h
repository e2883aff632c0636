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

// Bytes taken in one step of CrcUpdateBytes, one table each.
constexpr size_t CRC_SLICE_BYTES = 8;

using CrcTable = std::array<uint16_t, 256>;

namespace detail {
constexpr CrcTable MakeCrcTable() {
    CrcTable table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t reg = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = static_cast<uint16_t>((reg & 0x8000u) ? (reg << 1) ^ CRC_POLY : (reg << 1));
        }
        table[i] = reg;
    }
    return table;
}

// Table k holds what a byte contributes to the register when k more bytes
// follow it: table 0 is the CRC table, and each next one is the one before
// shifted through one more zero byte.
constexpr std::array<CrcTable, CRC_SLICE_BYTES> MakeSliceTables() {
    std::array<CrcTable, CRC_SLICE_BYTES> tables{};
    tables[0] = MakeCrcTable();
    for (size_t k = 1; k < CRC_SLICE_BYTES; ++k) {
        for (unsigned i = 0; i < 256; ++i) {
            const uint16_t before = tables[k - 1][i];
            tables[k][i] = static_cast<uint16_t>((before << 8) ^ tables[0][before >> 8]);
        }
    }
    return tables;
}
}  // namespace detail

// Built by the compiler; the library carries them as constant data.
inline constexpr std::array<CrcTable, CRC_SLICE_BYTES> CRC_SLICE_TABLES = detail::MakeSliceTables();
inline constexpr const CrcTable &CRC_TABLE = CRC_SLICE_TABLES[0];

static_assert(CRC_TABLE[1] == 0x1021 && CRC_TABLE[2] == 0x2042, "CRC table");
static_assert(CRC_TABLE[128] == 0x9188 && CRC_TABLE[255] == 0x1EF0, "CRC table");

// One byte: the table entry of (high byte of the register XOR the byte),
// XOR the register shifted left by eight.
constexpr uint16_t CrcUpdate(uint8_t byte, uint16_t crc) {
    return static_cast<uint16_t>(CRC_TABLE[((crc >> 8) ^ byte) & 0xFFu] ^ (crc << 8));
}

// The register after CrcUpdate of every byte of data in turn, computed
// CRC_SLICE_BYTES at a time. The register overlays the first two bytes of a
// step and has left the 16 bits after them, so each byte of the step adds
// its own table's entry: six of the eight lookups wait for nothing, and the
// chain from one register to the next is one lookup and a few XORs for eight
// bytes, where the byte-wise loop has a lookup in the chain for every byte.
inline uint16_t CrcUpdateBytes(const uint8_t *data, size_t length, uint16_t crc) {
    const std::array<CrcTable, CRC_SLICE_BYTES> &t = CRC_SLICE_TABLES;
    uint32_t reg = crc;
    for (; length >= CRC_SLICE_BYTES; data += CRC_SLICE_BYTES, length -= CRC_SLICE_BYTES) {
        const uint32_t head = reg ^ (uint32_t{data[0]} << 8 | data[1]);
        reg = static_cast<uint32_t>(t[7][head >> 8] ^ t[6][head & 0xFFu]) ^
              static_cast<uint32_t>(t[5][data[2]] ^ t[4][data[3]]) ^
              static_cast<uint32_t>(t[3][data[4]] ^ t[2][data[5]]) ^
              static_cast<uint32_t>(t[1][data[6]] ^ t[0][data[7]]);
    }
    for (; length > 0; ++data, --length) {
        reg = CrcUpdate(*data, static_cast<uint16_t>(reg));
    }
    return static_cast<uint16_t>(reg);
}
static_assert(CRC_SLICE_BYTES == 8, "CrcUpdateBytes takes eight bytes a step");

// CRC of a whole block started from CRC_INIT. Inline, so that host programs
// such as the tool take it from this header without linking any of the
// library's objects.
inline uint16_t CrcBlock(const uint8_t *data, size_t length) { return CrcUpdateBytes(data, length, CRC_INIT); }

}  // namespace kormelt
