#include "link/telnet_codec.h"

namespace kormelt {

namespace {

constexpr bool IsNegotiationVerb(uint8_t byte) {
    return byte == TELNET_WILL || byte == TELNET_WONT || byte == TELNET_DO || byte == TELNET_DONT;
}

// IAC SB option code, and IAC SE after the value.
constexpr size_t COM_PORT_FRAME_BYTES = 6;

// Of data, how many bytes escape whole into capacity bytes; *escaped is
// what they take.
size_t WholeBytesWithin(const uint8_t *data, size_t count, size_t capacity, size_t *escaped) {
    size_t in = 0;
    size_t used = 0;
    while (in < count) {
        const size_t need = data[in] == TELNET_IAC ? 2 : 1;
        if (used + need > capacity) {
            break;
        }
        used += need;
        ++in;
    }
    *escaped = used;
    return in;
}

}  // namespace

size_t TelnetEscape(const uint8_t *data, size_t count, uint8_t *out, size_t capacity, size_t *consumed) {
    size_t written = 0;
    *consumed = WholeBytesWithin(data, count, capacity, &written);
    size_t at = 0;
    for (size_t in = 0; in < *consumed; ++in) {
        out[at++] = data[in];
        if (data[in] == TELNET_IAC) {
            out[at++] = TELNET_IAC;
        }
    }
    return written;
}

size_t TelnetEscapedInput(const uint8_t *data, size_t count, size_t escaped_count) {
    size_t written = 0;
    return WholeBytesWithin(data, count, escaped_count, &written);
}

size_t TelnetNegotiation(uint8_t verb, uint8_t option, uint8_t *out, size_t capacity) {
    if (capacity < TELNET_NEGOTIATION_BYTES) {
        return 0;
    }
    out[0] = TELNET_IAC;
    out[1] = verb;
    out[2] = option;
    return TELNET_NEGOTIATION_BYTES;
}

size_t ComPortCommand(uint8_t code, const uint8_t *value, size_t length, uint8_t *out, size_t capacity) {
    if (capacity < COM_PORT_FRAME_BYTES) {
        return 0;
    }
    out[0] = TELNET_IAC;
    out[1] = TELNET_SB;
    out[2] = TELNET_OPTION_COM_PORT;
    out[3] = code;
    const size_t room = capacity - COM_PORT_FRAME_BYTES;
    size_t consumed = 0;
    const size_t escaped = TelnetEscape(value, length, out + 4, room, &consumed);
    if (consumed != length) {
        return 0;
    }
    out[4 + escaped] = TELNET_IAC;
    out[5 + escaped] = TELNET_SE;
    return COM_PORT_FRAME_BYTES + escaped;
}

void TelnetDecoder::Store(uint8_t byte) {
    if (length_ < capacity_) {
        buffer_[length_++] = byte;
    } else {
        overflowed_ = true;
    }
}

TelnetEvent TelnetDecoder::AfterIac(uint8_t byte) {
    if (byte == TELNET_IAC) {
        state_ = State::Data;
        data_ = TELNET_IAC;
        return TelnetEvent::Data;
    }
    if (IsNegotiationVerb(byte)) {
        verb_ = byte;
        state_ = State::Option;
        return TelnetEvent::None;
    }
    if (byte == TELNET_SB) {
        length_ = 0;
        overflowed_ = false;
        state_ = State::Sub;
        return TelnetEvent::None;
    }
    // NOP, go-ahead, a stray SE and the other one-byte commands carry
    // nothing for a serial line.
    state_ = State::Data;
    return TelnetEvent::None;
}

TelnetEvent TelnetDecoder::Feed(uint8_t byte) {
    switch (state_) {
    case State::Data:
        if (byte == TELNET_IAC) {
            state_ = State::Command;
            return TelnetEvent::None;
        }
        data_ = byte;
        return TelnetEvent::Data;
    case State::Command:
        return AfterIac(byte);
    case State::Option:
        option_ = byte;
        state_ = State::Data;
        return TelnetEvent::Negotiation;
    case State::Sub:
        if (byte == TELNET_IAC) {
            state_ = State::SubCommand;
        } else {
            Store(byte);
        }
        return TelnetEvent::None;
    case State::SubCommand:
        if (byte == TELNET_IAC) {
            Store(TELNET_IAC);
            state_ = State::Sub;
            return TelnetEvent::None;
        }
        if (byte == TELNET_SE) {
            state_ = State::Data;
            return TelnetEvent::Subnegotiation;
        }
        // Any other command ends a subnegotiation that was never closed: it
        // is dropped, and the command taken as it stands.
        return AfterIac(byte);
    }
    return TelnetEvent::None;
}

}  // namespace kormelt
