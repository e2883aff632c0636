// The telnet layer of an rfc2217 port, without any I/O: the bytes of
// commands and of the serial server's subnegotiations, the doubling of 0xFF
// in data sent, and a push decoder that separates the device's bytes from
// the server's commands. The caller owns every buffer and states its size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kormelt {

constexpr uint8_t TELNET_IAC = 0xFF;  // "interpret as command"; doubled in data
constexpr uint8_t TELNET_DONT = 0xFE;
constexpr uint8_t TELNET_DO = 0xFD;
constexpr uint8_t TELNET_WONT = 0xFC;
constexpr uint8_t TELNET_WILL = 0xFB;
constexpr uint8_t TELNET_SB = 0xFA;  // subnegotiation begins
constexpr uint8_t TELNET_SE = 0xF0;  // subnegotiation ends

constexpr uint8_t TELNET_OPTION_BINARY = 0;
constexpr uint8_t TELNET_OPTION_SGA = 3;  // suppress go-ahead
constexpr uint8_t TELNET_OPTION_COM_PORT = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers
// each with the same code plus COM_PORT_SERVER_OFFSET.
constexpr uint8_t COM_PORT_SET_BAUDRATE = 1;  // 4 bytes, network order
constexpr uint8_t COM_PORT_SET_DATASIZE = 2;
constexpr uint8_t COM_PORT_SET_PARITY = 3;
constexpr uint8_t COM_PORT_SET_STOPSIZE = 4;
constexpr uint8_t COM_PORT_SET_CONTROL = 5;
constexpr uint8_t COM_PORT_SERVER_OFFSET = 100;

constexpr uint8_t COM_PORT_PARITY_NONE = 1;
constexpr uint8_t COM_PORT_STOPSIZE_ONE = 1;
constexpr uint8_t COM_PORT_CONTROL_NO_FLOW = 1;
constexpr uint8_t COM_PORT_CONTROL_DTR_ON = 8;
constexpr uint8_t COM_PORT_CONTROL_DTR_OFF = 9;
constexpr uint8_t COM_PORT_CONTROL_RTS_ON = 11;
constexpr uint8_t COM_PORT_CONTROL_RTS_OFF = 12;

constexpr size_t TELNET_NEGOTIATION_BYTES = 3;  // IAC verb option

// Copies data into out with every 0xFF doubled, as many whole input bytes
// as fit into capacity. Returns the bytes written; *consumed is the input
// bytes they stand for.
size_t TelnetEscape(const uint8_t *data, size_t count, uint8_t *out, size_t capacity, size_t *consumed);

// Of data, how many input bytes the first escaped_count bytes of its
// escaped form carry whole: what a short write delivered.
size_t TelnetEscapedInput(const uint8_t *data, size_t count, size_t escaped_count);

// IAC verb option into out; 0 when capacity is less than three bytes.
size_t TelnetNegotiation(uint8_t verb, uint8_t option, uint8_t *out, size_t capacity);

// IAC SB COM-PORT-OPTION code value... IAC SE, 0xFF in value doubled; 0
// when it does not fit into capacity.
size_t ComPortCommand(uint8_t code, const uint8_t *value, size_t length, uint8_t *out, size_t capacity);

// What the byte just fed did.
enum class TelnetEvent {
    None,            // part of a command still open, or a command with nothing to act on
    Data,            // a byte of the device: data()
    Negotiation,     // IAC WILL, WONT, DO or DONT an option: verb(), option()
    Subnegotiation,  // IAC SB ... IAC SE ended: subnegotiation(), its option first
};

// A push decoder fed the bytes from the server one at a time. The bytes of
// an open subnegotiation go to the caller's buffer; one longer than
// capacity is read on to its end and reported with overflowed(), so a
// server that never ends one costs no memory, only the time its reader
// allows.
class TelnetDecoder {
public:
    TelnetDecoder(uint8_t *buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    TelnetEvent Feed(uint8_t byte);

    uint8_t data() const { return data_; }
    uint8_t verb() const { return verb_; }
    uint8_t option() const { return option_; }
    // After Subnegotiation: its bytes between SB and IAC SE (0xFF undoubled),
    // the option first; the first capacity of them when it overflowed.
    const uint8_t *subnegotiation() const { return buffer_; }
    size_t subnegotiation_length() const { return length_; }
    bool overflowed() const { return overflowed_; }

private:
    enum class State { Data, Command, Option, Sub, SubCommand };

    TelnetEvent AfterIac(uint8_t byte);
    void Store(uint8_t byte);

    uint8_t *buffer_;
    size_t capacity_;
    State state_ = State::Data;
    uint8_t data_ = 0;
    uint8_t verb_ = 0;
    uint8_t option_ = 0;
    size_t length_ = 0;
    bool overflowed_ = false;
};

}  // namespace kormelt
