#include "tests/support/fake_port.h"

#include <map>

#include "link/serial_port.h"
#include "protocol/status_names.h"

namespace {
std::map<uint32_t, fake::Line *> lines;
int open_records = 0;
int close_calls = 0;
std::vector<uint32_t> opened_ports;
}  // namespace

namespace kormelt {

struct PortRecord {
    fake::Line *line;
    uint32_t tag;
    uint32_t number;
};

int32_t PortOpen(PortRecord **slot, uint32_t n) {
    *slot = nullptr;
    if (n < PORT_NUMBER_MIN || n > PORT_NUMBER_MAX) {
        return STATUS_PORT_NUMBER;
    }
    auto it = lines.find(n);
    if (it == lines.end() || it->second == nullptr) {
        return STATUS_PORT_OPEN;
    }
    if (it->second->open_status != 0) {
        return it->second->open_status;
    }
    *slot = new PortRecord{it->second, PORT_TAG_LIVE, n};
    ++open_records;
    opened_ports.push_back(n);
    return STATUS_OK;
}

int32_t PortClose(PortRecord *record) {
    ++close_calls;
    if (record->tag != PORT_TAG_LIVE) {
        return STATUS_PORT_NOT_OPEN;
    }
    record->tag = PORT_TAG_DEAD;
    delete record;
    --open_records;
    return STATUS_OK;
}

bool PortWrite(PortRecord *record, const uint8_t *bytes, size_t count, size_t *written) {
    fake::Line &line = *record->line;
    *written = 0;
    if (line.write_fails) {
        return false;
    }
    const size_t n = count > line.write_short_by ? count - line.write_short_by : 0;
    line.written.insert(line.written.end(), bytes, bytes + n);
    *written = n;
    if (line.on_write) {
        line.on_write(line, bytes, n);
    }
    return true;
}

int32_t PortReadByte(PortRecord *record, uint8_t *byte_out, uint32_t timeout_ms) {
    fake::Line &line = *record->line;
    if (line.incoming.empty() && !(line.on_empty && line.on_empty(line))) {
        ++line.timeouts;
        line.last_timeout_ms = timeout_ms;
        return STATUS_TIMEOUT;
    }
    *byte_out = line.incoming.front();
    line.incoming.pop_front();
    ++line.bytes_read;
    return STATUS_OK;
}

}  // namespace kormelt

namespace fake {

void Attach(uint32_t n, Line *line) { lines[n] = line; }

void Reset() {
    lines.clear();
    open_records = 0;
    close_calls = 0;
    opened_ports.clear();
}

int OpenRecords() { return open_records; }
const std::vector<uint32_t> &OpenedPorts() { return opened_ports; }
int CloseCalls() { return close_calls; }

}  // namespace fake
