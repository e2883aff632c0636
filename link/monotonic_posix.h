// Deadlines on POSIX systems: the monotonic clock read through the caller's
// call (so that a test can fail it), and the time left as a poll() timeout.
// One place for the port and the connection to a server on the network.
#pragma once

#include <climits>
#include <cstdint>

#include <time.h>

namespace kormelt {

constexpr int64_t MONOTONIC_NS_PER_MS = 1000000;
constexpr int64_t MONOTONIC_NS_PER_S = 1000000000;

// Monotonic time in nanoseconds; false when the clock cannot be read.
inline bool MonotonicNs(int (*clock_gettime_call)(clockid_t, timespec *), int64_t *now) {
    timespec ts{};
    if (clock_gettime_call(CLOCK_MONOTONIC, &ts) != 0) {
        return false;
    }
    *now = static_cast<int64_t>(ts.tv_sec) * MONOTONIC_NS_PER_S + ts.tv_nsec;
    return true;
}

// Rounded up, so that a wait never ends before the deadline it was asked for.
inline int PollTimeoutMs(int64_t left_ns) {
    const int64_t ms = (left_ns + MONOTONIC_NS_PER_MS - 1) / MONOTONIC_NS_PER_MS;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace kormelt
