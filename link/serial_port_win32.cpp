#include "device/api.h"
#include "link/serial_port.h"

namespace kormelt {

struct PortRecord {
    uint32_t tag;
};

int32_t PortOpen(PortRecord **slot, uint32_t n) {
    *slot = nullptr;
    return n < PORT_NUMBER_MIN || n > PORT_NUMBER_MAX ? STATUS_PORT_NUMBER : STATUS_PORT_OPEN;
}

int32_t PortClose(PortRecord *) { return STATUS_PORT_NOT_OPEN; }

bool PortWrite(PortRecord *, const uint8_t *, size_t, size_t *written) {
    *written = 0;
    return false;
}

int32_t PortReadByte(PortRecord *, uint8_t *, uint32_t) { return STATUS_TIMEOUT; }

}  // namespace kormelt
