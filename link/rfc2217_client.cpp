#include "link/rfc2217_client.h"

#include "protocol/protocol.h"

namespace kormelt {

namespace {

constexpr uint8_t LINE_DATA_BITS = 8;
constexpr size_t SETTING_COUNT = 5;  // SET-BAUDRATE .. SET-CONTROL
constexpr uint8_t ALL_SETTINGS = (1u << SETTING_COUNT) - 1;
constexpr size_t BAUD_RATE_BYTES = 4;

bool TestBit(const uint8_t (&bits)[TELNET_OPTION_SET_BYTES], uint8_t option) { return (bits[option / 8] & (1u << (option % 8))) != 0; }
void SetBit(uint8_t (&bits)[TELNET_OPTION_SET_BYTES], uint8_t option) {
    bits[option / 8] = static_cast<uint8_t>(bits[option / 8] | (1u << (option % 8)));
}

// The value each setting is asked for, as the server sends it back.
void BaudRateBytes(uint8_t (&bytes)[BAUD_RATE_BYTES]) {
    bytes[0] = static_cast<uint8_t>(LINE_BAUD_RATE >> 24);
    bytes[1] = static_cast<uint8_t>(LINE_BAUD_RATE >> 16);
    bytes[2] = static_cast<uint8_t>(LINE_BAUD_RATE >> 8);
    bytes[3] = static_cast<uint8_t>(LINE_BAUD_RATE);
}

uint8_t SmallSetting(uint8_t code) {
    switch (code) {
    case COM_PORT_SET_DATASIZE:
        return LINE_DATA_BITS;
    case COM_PORT_SET_PARITY:
        return COM_PORT_PARITY_NONE;
    case COM_PORT_SET_STOPSIZE:
        return COM_PORT_STOPSIZE_ONE;
    default:
        return COM_PORT_CONTROL_NO_FLOW;
    }
}

}  // namespace

size_t Rfc2217Client::Greeting(uint8_t *out, size_t capacity) const {
    static constexpr uint8_t offers[][2] = {
        {TELNET_WILL, TELNET_OPTION_BINARY}, {TELNET_DO, TELNET_OPTION_BINARY},     {TELNET_WILL, TELNET_OPTION_SGA},
        {TELNET_DO, TELNET_OPTION_SGA},      {TELNET_WILL, TELNET_OPTION_COM_PORT},
    };
    if (capacity < RFC2217_GREETING_BYTES) {
        return 0;
    }
    size_t written = 0;
    for (const auto &offer : offers) {
        written += TelnetNegotiation(offer[0], offer[1], out + written, capacity - written);
    }
    return written;
}

void Rfc2217Client::Negotiation(uint8_t verb, uint8_t option, uint8_t *answer, size_t answer_capacity,
                                size_t *answer_count, size_t *answers) {
    // The greeting offered and asked for all the wanted options, so the
    // server's DO and WILL of them are its agreement and need no answer;
    // answering them again is how two telnet ends loop for ever.
    auto say = [&](uint8_t answer_verb) {
        if (*answers >= RFC2217_ANSWERS_PER_FEED) {
            return false;
        }
        const size_t n =
            TelnetNegotiation(answer_verb, option, answer + *answer_count, answer_capacity - *answer_count);
        if (n == 0) {
            return false;
        }
        *answer_count += n;
        ++*answers;
        return true;
    };
    Answer *local = option == TELNET_OPTION_BINARY     ? &binary_local_
                    : option == TELNET_OPTION_SGA      ? &sga_local_
                    : option == TELNET_OPTION_COM_PORT ? &com_port_
                                                       : nullptr;
    Answer *remote = option == TELNET_OPTION_BINARY ? &binary_remote_
                     : option == TELNET_OPTION_SGA  ? &sga_remote_
                                                    : nullptr;
    // A request to turn an option on is agreed to for the wanted ones and
    // refused (once) for the rest; one to turn it off is confirmed where it
    // was on. Ours answer DO and DONT with WONT, the server's WILL and WONT
    // with DONT.
    auto request = [&](bool on, Answer *state, uint8_t(&refused)[TELNET_OPTION_SET_BYTES], uint8_t refusal) {
        if (on && state != nullptr) {
            *state = Answer::Yes;
        } else if (on && !TestBit(refused, option) && say(refusal)) {
            SetBit(refused, option);
        } else if (!on && state != nullptr) {
            if (*state == Answer::Yes) {
                (void)say(refusal);
            }
            *state = Answer::No;
        }
    };
    switch (verb) {
    case TELNET_DO:
    case TELNET_DONT:
        request(verb == TELNET_DO, local, refused_do_, TELNET_WONT);
        return;
    case TELNET_WILL:
    case TELNET_WONT:
        request(verb == TELNET_WILL, remote, refused_will_, TELNET_DONT);
        return;
    default:
        return;
    }
}

void Rfc2217Client::Subnegotiation() {
    const uint8_t *bytes = decoder_.subnegotiation();
    const size_t length = decoder_.subnegotiation_length();
    // The server's notices (line and modem state) and its answers to the
    // modem lines are not needed: only the answers to the settings count,
    // the first of each.
    if (!settings_sent_ || decoder_.overflowed() || length < 3 || bytes[0] != TELNET_OPTION_COM_PORT ||
        bytes[1] <= COM_PORT_SERVER_OFFSET || bytes[1] > COM_PORT_SERVER_OFFSET + SETTING_COUNT) {
        return;
    }
    const uint8_t code = static_cast<uint8_t>(bytes[1] - COM_PORT_SERVER_OFFSET);
    const uint8_t bit = static_cast<uint8_t>(1u << (code - 1));
    if ((settings_answered_ & bit) != 0) {
        return;
    }
    settings_answered_ = static_cast<uint8_t>(settings_answered_ | bit);
    bool right = false;
    if (code == COM_PORT_SET_BAUDRATE) {
        uint8_t asked[BAUD_RATE_BYTES];
        BaudRateBytes(asked);
        right = length == 2 + BAUD_RATE_BYTES && bytes[2] == asked[0] && bytes[3] == asked[1] && bytes[4] == asked[2] &&
                bytes[5] == asked[3];
    } else {
        right = length == 3 && bytes[2] == SmallSetting(code);
    }
    if (!right) {
        settings_wrong_ = static_cast<uint8_t>(settings_wrong_ | bit);
    }
}

void Rfc2217Client::Feed(const uint8_t *in, size_t count, uint8_t *data, size_t *data_count, uint8_t *answer,
                         size_t answer_capacity, size_t *answer_count) {
    *data_count = 0;
    *answer_count = 0;
    size_t answers = 0;
    for (size_t i = 0; i < count; ++i) {
        switch (decoder_.Feed(in[i])) {
        case TelnetEvent::Data:
            data[(*data_count)++] = decoder_.data();
            break;
        case TelnetEvent::Negotiation:
            Negotiation(decoder_.verb(), decoder_.option(), answer, answer_capacity, answer_count, &answers);
            break;
        case TelnetEvent::Subnegotiation:
            Subnegotiation();
            break;
        case TelnetEvent::None:
            break;
        }
    }
}

bool Rfc2217Client::Negotiated() const {
    return binary_local_ != Answer::Unknown && binary_remote_ != Answer::Unknown && com_port_ != Answer::Unknown;
}

bool Rfc2217Client::BinaryAgreed() const { return binary_local_ == Answer::Yes && binary_remote_ == Answer::Yes; }

bool Rfc2217Client::ComPortAgreed() const { return com_port_ == Answer::Yes; }

size_t Rfc2217Client::LineSettings(uint8_t *out, size_t capacity) {
    uint8_t baud[BAUD_RATE_BYTES];
    BaudRateBytes(baud);
    size_t written = ComPortCommand(COM_PORT_SET_BAUDRATE, baud, sizeof baud, out, capacity);
    if (written == 0) {
        return 0;
    }
    for (const uint8_t code :
         {COM_PORT_SET_DATASIZE, COM_PORT_SET_PARITY, COM_PORT_SET_STOPSIZE, COM_PORT_SET_CONTROL}) {
        const uint8_t value = SmallSetting(code);
        const size_t n = ComPortCommand(code, &value, 1, out + written, capacity - written);
        if (n == 0) {
            return 0;
        }
        written += n;
    }
    settings_sent_ = true;
    settings_answered_ = 0;
    settings_wrong_ = 0;
    return written;
}

bool Rfc2217Client::SettingsAnswered() const { return settings_answered_ == ALL_SETTINGS; }

bool Rfc2217Client::SettingsAgreed() const { return SettingsAnswered() && settings_wrong_ == 0; }

size_t Rfc2217Client::ModemLines(bool raised, uint8_t *out, size_t capacity) {
    const uint8_t dtr = raised ? COM_PORT_CONTROL_DTR_ON : COM_PORT_CONTROL_DTR_OFF;
    const uint8_t rts = raised ? COM_PORT_CONTROL_RTS_ON : COM_PORT_CONTROL_RTS_OFF;
    const size_t first = ComPortCommand(COM_PORT_SET_CONTROL, &dtr, 1, out, capacity);
    const size_t second = first == 0 ? 0 : ComPortCommand(COM_PORT_SET_CONTROL, &rts, 1, out + first, capacity - first);
    return second == 0 ? 0 : first + second;
}

}  // namespace kormelt
