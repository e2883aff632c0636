#include "link/crc16.h"

namespace kormelt {

static_assert(CRC_TABLE[1] == 0x1021 && CRC_TABLE[2] == 0x2042, "CRC table");
static_assert(CRC_TABLE[128] == 0x9188 && CRC_TABLE[255] == 0x1EF0, "CRC table");

uint16_t CrcBlock(const uint8_t *data, size_t length) {
    uint32_t reg = CRC_INIT;
    for (size_t i = 0; i < length; ++i) {
        reg = CrcUpdateWide(data[i], reg);
    }
    return static_cast<uint16_t>(reg);
}

}  // namespace kormelt
