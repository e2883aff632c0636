// The facts of the conversation with the device, each written once: the
// line, the requests and their layout, the identify reply, the erase blocks
// and the progress the library reports. The library, the simulator and the
// tool all take them from here; the tests keep literal wire bytes as their
// independent check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "protocol/progress.h"

namespace kormelt {

// The line: 19200 baud, 8 data bits, no parity, one stop bit.
constexpr uint32_t LINE_BAUD_RATE = 19200;  // bits per second
constexpr uint32_t LINE_BITS_PER_BYTE = 10;  // start bit, 8 data bits, stop bit
constexpr uint32_t LINE_BYTES_PER_SECOND = LINE_BAUD_RATE / LINE_BITS_PER_BYTE;  // 1920
constexpr uint32_t REPLY_TIMEOUT_MS = 3000;  // for each reply byte, anew

// The first payload byte of a request is its command.
constexpr uint8_t CMD_IDENTIFY = 0x00;
constexpr uint8_t CMD_RESTART = 0x01;
constexpr uint8_t CMD_ERASE = 0x02;
constexpr uint8_t CMD_PROGRAM = 0x03;
constexpr size_t COMMAND_OFFSET = 0;

constexpr size_t IDENTIFY_REQUEST_BYTES = 1;  // the command alone
constexpr size_t RESTART_REQUEST_BYTES = 1;   // the command alone
constexpr size_t ERASE_BLOCK_OFFSET = 1;      // one byte, the block number
constexpr size_t ERASE_REQUEST_BYTES = 2;

// A program request carries one packet: the device address of its first
// data byte (little-endian), then the data, always a whole packet's worth.
constexpr size_t PACKET_ADDRESS_OFFSET = 1;
constexpr size_t PACKET_ADDRESS_BYTES = 4;
constexpr size_t PACKET_DATA_OFFSET = PACKET_ADDRESS_OFFSET + PACKET_ADDRESS_BYTES;  // 5
constexpr size_t PACKET_DATA_BYTES = 128;
constexpr size_t PROGRAM_REQUEST_BYTES = PACKET_DATA_OFFSET + PACKET_DATA_BYTES;  // 133

// What erased flash holds, and what stands for "nothing written here".
constexpr uint8_t ERASED_FLASH_BYTE = 0xFF;

// Erased in this order; blocks 1 to 5 never are.
constexpr uint8_t ERASE_BLOCKS[] = {11, 10, 9, 8, 7, 6, 0};
constexpr size_t ERASE_BLOCK_COUNT = std::size(ERASE_BLOCKS);
static_assert(ERASE_BLOCK_COUNT == KORMELT_ERASE_BLOCK_COUNT, "one erase request per block");

// The identify reply: two bytes nobody examines, then the identifier without
// a terminator, and nothing after it.
constexpr char DEVICE_ID[] = "kormelt";
constexpr size_t DEVICE_ID_LENGTH = sizeof DEVICE_ID - 1;
constexpr size_t DEVICE_ID_OFFSET = 2;
constexpr size_t IDENTIFY_REPLY_BYTES = DEVICE_ID_OFFSET + DEVICE_ID_LENGTH;  // 9

// What the device answers: to identify, these version bytes where the
// library looks for nothing, then the identifier; to erase, program and
// restart, the command code and one of the results below. The library
// takes any good reply as success; the simulator answers this way.
constexpr uint8_t ID_VERSION[DEVICE_ID_OFFSET] = {0x01, 0x00};
constexpr uint8_t REPLY_OK = 0x00;
constexpr uint8_t REPLY_REJECTED = 0x01;  // unknown request, or a program beyond the flash
constexpr size_t REPLY_RESULT_BYTES = 2;  // command, result

// An image file: the firmware byte for byte from device address 0, then the
// CRC of those bytes, high byte first. A file of the trailer alone holds no
// firmware, whatever its CRC says (the CRC of nothing is CRC_INIT, so the
// file AA AA passes the library's check); hosts refuse it.
constexpr size_t CRC_TRAILER_BYTES = 2;
constexpr size_t IMAGE_FILE_MIN_BYTES = 3;
static_assert(IMAGE_FILE_MIN_BYTES == CRC_TRAILER_BYTES + 1, "one byte of firmware at least");

// The most firmware an image may hold, and the flash the simulated device
// has. The upload runs at about 1.5 KiB/s, so 16 MiB already take three
// hours; anything larger comes from a mistake such as a HEX file linked for
// a flash base far from address 0.
constexpr size_t FLASH_MAX_BYTES = size_t{16} << 20;

// The ports searched, and the percentages reported on the way.
constexpr uint32_t SEARCH_FIRST_PORT = KORMELT_SEARCH_FIRST_PORT;
constexpr uint32_t SEARCH_LAST_PORT = KORMELT_SEARCH_LAST_PORT;
constexpr int32_t SEARCH_PERCENT_STEP = KORMELT_SEARCH_PERCENT_STEP;
constexpr int32_t ERASE_PERCENT_STEP = KORMELT_ERASE_PERCENT_STEP;
constexpr int32_t PERCENT_DONE = KORMELT_PERCENT_DONE;

// Reported before the search tries COMn.
constexpr int32_t SearchPercent(uint32_t n) {
    return SEARCH_PERCENT_STEP * static_cast<int32_t>(n - SEARCH_FIRST_PORT);
}
// The port the search was trying when it reported percent.
constexpr uint32_t SearchPort(int32_t percent) {
    return SEARCH_FIRST_PORT + static_cast<uint32_t>(percent / SEARCH_PERCENT_STEP);
}
static_assert(SearchPercent(SEARCH_LAST_PORT) < PERCENT_DONE, "a search report never looks final");
static_assert(SearchPort(SearchPercent(SEARCH_LAST_PORT)) == SEARCH_LAST_PORT, "reports name their port");

// Reported before the erase request for ERASE_BLOCKS[position].
constexpr int32_t ErasePercent(size_t position) { return ERASE_PERCENT_STEP * static_cast<int32_t>(position); }
// Blocks erased when the erase reported percent.
constexpr size_t ErasedBlocks(int32_t percent) { return static_cast<size_t>(percent / ERASE_PERCENT_STEP); }
static_assert(ErasePercent(ERASE_BLOCK_COUNT - 1) < PERCENT_DONE, "an erase report never looks final");

// The address field of a program request.
inline void PutPacketAddress(uint8_t *request, uint32_t address) {
    for (size_t i = 0; i < PACKET_ADDRESS_BYTES; ++i) {
        request[PACKET_ADDRESS_OFFSET + i] = static_cast<uint8_t>(address >> (8 * i));
    }
}
inline uint32_t PacketAddress(const uint8_t *request) {
    uint32_t address = 0;
    for (size_t i = 0; i < PACKET_ADDRESS_BYTES; ++i) {
        address |= static_cast<uint32_t>(request[PACKET_ADDRESS_OFFSET + i]) << (8 * i);
    }
    return address;
}

}  // namespace kormelt
