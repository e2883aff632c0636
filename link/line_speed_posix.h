// The line rate as the termios speed code, derived from the protocol's
// LINE_BAUD_RATE so the rate is written once. The port sets it; the
// simulator's pseudo-terminal takes the same.
#pragma once

#include <termios.h>

#include "protocol/protocol.h"

namespace kormelt {

constexpr speed_t TermiosSpeed(uint32_t baud) {
    switch (baud) {
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

constexpr speed_t LINE_SPEED = TermiosSpeed(LINE_BAUD_RATE);
static_assert(LINE_SPEED != B0, "the line rate has a termios speed code");

}  // namespace kormelt
