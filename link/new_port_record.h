// The steps every platform's PortOpen begins with, before it touches a
// device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "link/serial_port.h"
#include "protocol/status_names.h"

namespace kormelt {

// Clears *slot (it stays null until the port is open), checks n against
// COM1..COM64 and makes an empty record, dead and numbered n, with the
// platform's allocator, which tests can make fail. The caller sets the
// record's handle to its own "none" at once. Returns 0 with the record in
// *record, else the status PortOpen gives for the step that failed.
template <typename Record>
int32_t NewPortRecord(void *(*allocate)(size_t), uint32_t n, Record **slot, Record **record) {
    *slot = nullptr;
    if (n < PORT_NUMBER_MIN || n > PORT_NUMBER_MAX) {
        return STATUS_PORT_NUMBER;
    }
    void *memory = allocate(sizeof(Record));
    if (memory == nullptr) {
        return STATUS_NO_MEMORY;
    }
    *record = new (memory) Record{};
    (*record)->tag = PORT_TAG_DEAD;
    (*record)->number = n;
    return STATUS_OK;
}

}  // namespace kormelt
