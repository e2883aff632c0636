// The client's side of an rfc2217 conversation, without any I/O: what it
// offers at the start, how it answers the server's requests, which line
// settings it asks for and whether the server's answers agree. The port
// (remote_posix.h) moves the bytes and keeps the time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/telnet_codec.h"

namespace kormelt {

// Long enough for the longest answer read (option, code, four bytes of
// baud rate); anything longer is no answer to a setting and is dropped.
constexpr size_t RFC2217_SUBNEGOTIATION_CAPACITY = 16;  // bytes
// Requests of the server answered per Feed, the rest of that read's left
// unanswered: a flood of requests never turns into a flood of answers.
constexpr size_t RFC2217_ANSWERS_PER_FEED = 8;
constexpr size_t RFC2217_ANSWER_CAPACITY = RFC2217_ANSWERS_PER_FEED * TELNET_NEGOTIATION_BYTES;
// WILL and DO BINARY, WILL and DO SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION.
constexpr size_t RFC2217_GREETING_BYTES = 5 * TELNET_NEGOTIATION_BYTES;
// The five line settings, the baud rate four bytes wide and the rest one;
// room for every value byte doubled.
constexpr size_t RFC2217_SETTINGS_CAPACITY = 5 * 6 + 2 * (4 + 4 * 1);
constexpr size_t RFC2217_MODEM_LINES_BYTES = 2 * (6 + 1);  // DTR and RTS, one SET-CONTROL each

// One bit for each of the 256 telnet options.
constexpr size_t TELNET_OPTION_SET_BYTES = 256 / 8;

class Rfc2217Client {
public:
    Rfc2217Client() : decoder_(subnegotiation_, sizeof subnegotiation_) {}
    // The decoder points into the object itself.
    Rfc2217Client(const Rfc2217Client &) = delete;
    Rfc2217Client &operator=(const Rfc2217Client &) = delete;

    // What the client sends first. 0 when it does not fit.
    size_t Greeting(uint8_t *out, size_t capacity) const;

    // Takes count bytes from the server: the device's bytes go to data
    // (capacity at least count; they are never more), the answers to the
    // server's requests to answer (at most RFC2217_ANSWER_CAPACITY bytes).
    void Feed(const uint8_t *in, size_t count, uint8_t *data, size_t *data_count, uint8_t *answer,
              size_t answer_capacity, size_t *answer_count);

    // The server has said yes or no to all that the greeting offered that
    // the port needs: binary both ways and COM-PORT-OPTION.
    bool Negotiated() const;
    bool BinaryAgreed() const;
    bool ComPortAgreed() const;

    // SET-BAUDRATE LINE_BAUD_RATE, SET-DATASIZE 8, SET-PARITY NONE,
    // SET-STOPSIZE 1, SET-CONTROL no flow control. 0 when it does not fit.
    size_t LineSettings(uint8_t *out, size_t capacity);
    // The server has answered all five; whether every answer is the value asked.
    bool SettingsAnswered() const;
    bool SettingsAgreed() const;

    // SET-CONTROL DTR, then SET-CONTROL RTS, both on or both off. 0 when it
    // does not fit.
    static size_t ModemLines(bool raised, uint8_t *out, size_t capacity);

private:
    enum class Answer : uint8_t { Unknown, Yes, No };

    void Negotiation(uint8_t verb, uint8_t option, uint8_t *answer, size_t answer_capacity, size_t *answer_count,
                     size_t *answers);
    void Subnegotiation();

    uint8_t subnegotiation_[RFC2217_SUBNEGOTIATION_CAPACITY] = {};
    TelnetDecoder decoder_;
    Answer binary_local_ = Answer::Unknown;   // the server's DO or DONT BINARY
    Answer binary_remote_ = Answer::Unknown;  // the server's WILL or WONT BINARY
    Answer sga_local_ = Answer::Unknown;
    Answer sga_remote_ = Answer::Unknown;
    Answer com_port_ = Answer::Unknown;  // the server's DO or DONT COM-PORT-OPTION
    bool settings_sent_ = false;
    uint8_t settings_answered_ = 0;  // bit k: the answer to setting command k+1 came
    uint8_t settings_wrong_ = 0;     // bit k: it was not the value asked
    // One bit per option the server asked for that was refused: each is
    // refused once, so a server repeating a request gets no answer twice.
    uint8_t refused_do_[TELNET_OPTION_SET_BYTES] = {};
    uint8_t refused_will_[TELNET_OPTION_SET_BYTES] = {};
};

}  // namespace kormelt
