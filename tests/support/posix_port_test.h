// What the tests of the POSIX port share: the port's entry points, its table
// of platform calls (a test swaps single calls to see or fail them, and puts
// the real ones back), and time measured on the monotonic clock.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "link/serial_port.h"
#include "link/serial_port_posix.h"

using kormelt::PortClose;
using kormelt::PortOpen;
using kormelt::PortReadByte;
using kormelt::PortRecord;
using kormelt::PortWrite;
using kormelt::POSIX_REAL_CALLS;
using kormelt::PosixCall;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int64_t LATE_MARGIN_MS = 1500;  // generous slack past a deadline on a busy machine

inline int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// That a wait given deadline_ms from start ended at its deadline: not
// before it, and within a generous margin after it.
inline void ExpectEndedAtDeadline(Clock::time_point start, int64_t deadline_ms) {
    const int64_t took = MsSince(start);
    EXPECT_GE(took, deadline_ms) << "ended before its deadline";
    EXPECT_LT(took, deadline_ms + LATE_MARGIN_MS) << "ended long after its deadline";
}

// The variable that names the device behind port number n.
inline std::string PortVariable(uint32_t n) { return "KORMELT_COM" + std::to_string(n); }
