// The simulator's request log: one JSON object per line, one line per frame
// received, written and flushed as each request is served, so a reader may
// read it while the simulator runs (a line without its newline is still
// being written and is not read yet).
//
//   {"n":1,"kind":"identify","bytes":"00"}
//   {"n":2,"kind":"erase","block":11,"bytes":"020b"}
//   {"n":9,"kind":"program","address":128,"bytes":"0380000000..."}
//   {"n":4,"kind":"bad-crc","bytes":"00bea1"}
//
// n counts every frame received from 1, so request K is the line with n K
// (and line K); the fault options name requests by it. kind is identify,
// restart, erase, program, unknown (a good frame of no known request and
// length), bad-crc, short (1 or 2 decoded bytes) or overlong. bytes is the
// payload of a good frame without its CRC, or every decoded byte of one that
// did not decode (of an overlong one the first REQUEST_CAPACITY), in lower-
// case hex. erase lines add the block number, program lines the device
// address, both as JSON numbers. Keys may be added; readers ignore keys they
// do not know.
//
// This is the one reader of the log in C++; the Python package's testing
// module has the one reader in Python.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/sim/device_model.h"

namespace kormelt::sim {

// The log line of request number n, without its newline.
std::string LogRecord(uint32_t number, const Request &request);

struct LoggedRequest {
    uint32_t number = 0;
    std::string kind;
    std::optional<uint32_t> block;    // erase only
    std::optional<uint32_t> address;  // program only
    std::vector<uint8_t> bytes;
};

// One log line. False when it is not a line of this format.
bool ParseLogRecord(const std::string &line, LoggedRequest *request);

// Every complete line of a log's text; a last line without its newline is
// left out, and so is any line that does not parse.
std::vector<LoggedRequest> ReadRequestLog(const std::string &text);

}  // namespace kormelt::sim
