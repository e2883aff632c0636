// An in-memory serial line standing in for the platform port at link time.
// A test attaches a Line to a port number; the library then opens, writes
// and reads it like a COM port, and the test sees every byte that crossed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace fake {

struct Line {
    std::vector<uint8_t> written;  // everything the host wrote, in order
    std::deque<uint8_t> incoming;  // bytes waiting for the host to read
    // Called after each successful write with the bytes of that write; a
    // device model answers here by appending to incoming.
    std::function<void(Line &, const uint8_t *, size_t)> on_write;
    // Called when the host reads with nothing waiting; it may append bytes
    // (a babbling line) and returns false to let the read time out.
    std::function<bool(Line &)> on_empty;
    bool write_fails = false;    // the write call reports failure
    size_t write_short_by = 0;   // the write reports this many bytes fewer
    int open_status = 0;         // nonzero: PortOpen fails with it
    size_t bytes_read = 0;       // bytes the host took from incoming
    size_t timeouts = 0;         // reads that ended with STATUS_TIMEOUT
    uint32_t last_timeout_ms = 0;
};

// Port n (1..64) leads to line, or to nothing when line is null.
void Attach(uint32_t n, Line *line);
// Detaches every line and forgets the counters below.
void Reset();
int OpenRecords();                       // records opened and not yet closed
const std::vector<uint32_t> &OpenedPorts();  // port numbers opened, in order
int CloseCalls();

}  // namespace fake
