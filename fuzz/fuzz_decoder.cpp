// Feeds arbitrary line bytes to one reply receive over the in-memory line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "device/api.h"
#include "link/frame.h"
#include "protocol/crc16.h"
#include "protocol/status_names.h"
#include "tests/support/fake_port.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fake::Reset();
    fake::Line line;
    line.incoming.assign(data, data + size);
    fake::Attach(1, &line);
    kormelt::PortRecord *port = nullptr;
    if (kormelt::PortOpen(&port, 1) != STATUS_OK) {
        std::abort();
    }
    // Guard bytes after the reply buffer catch any write past its capacity
    // even without AddressSanitizer.
    constexpr size_t CAPACITY = 256;
    uint8_t reply[CAPACITY + 16];
    for (uint8_t &b : reply) {
        b = 0xA5;
    }
    int32_t reply_length = -1;
    const int32_t status = kormelt::FrameReceive(port, reply, CAPACITY, &reply_length);
    for (size_t i = CAPACITY; i < sizeof reply; ++i) {
        if (reply[i] != 0xA5) {
            std::abort();
        }
    }
    if (line.bytes_read > kormelt::REPLY_LINE_BYTE_LIMIT) {
        std::abort();
    }
    switch (status) {
    case STATUS_OK:
        if (reply_length < 1 || reply_length > static_cast<int32_t>(CAPACITY - 2) ||
            kormelt::CrcBlock(reply, static_cast<size_t>(reply_length) + 2) != 0) {
            std::abort();
        }
        break;
    case STATUS_TIMEOUT:
    case STATUS_CRC:
        if (reply_length != 0) {
            std::abort();
        }
        break;
    default:
        std::abort();
    }
    kormelt::PortClose(port);
    return 0;
}
