// The telnet layer and the client's side of rfc2217 on bytes in memory:
// literal wire bytes as the independent check, and servers that misbehave.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/rfc2217_client.h"
#include "link/telnet_codec.h"
#include "protocol/hex.h"
#include "tests/support/bytes.h"

using kormelt::HexText;
using kormelt::Rfc2217Client;
using kormelt::TelnetDecoder;
using kormelt::TelnetEvent;
using Bytes = std::vector<uint8_t>;

namespace {

TEST(TelnetEscape, DoublesEveryIacAndStopsAtAWholeByte) {
    struct Case {
        const char *what;
        Bytes data;
        size_t capacity;
        std::string out;
        size_t consumed;
    };
    const Case cases[] = {
        {"no 0xFF", {0x7E, 0x00, 0xFD}, 8, "7e00fd", 3},
        {"0xFF doubled", {0x7E, 0xFF, 0x01}, 8, "7effff01", 3},
        {"only 0xFF", {0xFF, 0xFF}, 8, "ffffffff", 2},
        {"a doubled byte that does not fit is left whole", {0x01, 0xFF}, 2, "01", 1},
        {"no room", {0x01}, 0, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes out(c.capacity + 1, 0xAA);
        size_t consumed = 99;
        const size_t n = kormelt::TelnetEscape(c.data.data(), c.data.size(), out.data(), c.capacity, &consumed);
        EXPECT_EQ(HexText(out.data(), n), c.out);
        EXPECT_EQ(consumed, c.consumed);
        EXPECT_EQ(out[c.capacity], 0xAA) << "nothing past the capacity";
    }
}

TEST(TelnetEscape, AShortWriteCountsTheBytesThatWentOutWhole) {
    const Bytes data = {0x01, 0xFF, 0x02};  // 01 ff ff 02 on the wire
    const size_t expected[] = {0, 1, 1, 2, 3};
    for (size_t sent = 0; sent <= 4; ++sent) {
        EXPECT_EQ(kormelt::TelnetEscapedInput(data.data(), data.size(), sent), expected[sent]) << sent;
    }
}

TEST(ComPortCommand, LiteralBytes) {
    uint8_t out[32];
    const uint8_t baud[] = {0x00, 0x00, 0x4B, 0x00};
    EXPECT_EQ(HexText(out, kormelt::ComPortCommand(1, baud, 4, out, sizeof out)), "fffa2c0100004b00fff0");
    const uint8_t all_ones = 0xFF;
    EXPECT_EQ(HexText(out, kormelt::ComPortCommand(5, &all_ones, 1, out, sizeof out)), "fffa2c05fffffff0");
    EXPECT_EQ(kormelt::ComPortCommand(1, baud, 4, out, 9), 0u) << "one byte short";
    EXPECT_EQ(kormelt::TelnetNegotiation(kormelt::TELNET_DO, 44, out, 2), 0u);
}

// Feeds the bytes and writes every event down: "d 7e", "n fd 01", "s 2c65" and
// "s! 2c..." for one that overflowed.
std::vector<std::string> Events(const Bytes &line, size_t capacity = 8) {
    std::vector<uint8_t> buffer(capacity);
    TelnetDecoder decoder(buffer.data(), buffer.size());
    std::vector<std::string> events;
    for (uint8_t byte : line) {
        switch (decoder.Feed(byte)) {
        case TelnetEvent::None:
            break;
        case TelnetEvent::Data: {
            const uint8_t data = decoder.data();
            events.push_back("d " + HexText(&data, 1));
            break;
        }
        case TelnetEvent::Negotiation: {
            const uint8_t both[] = {decoder.verb(), decoder.option()};
            events.push_back("n " + HexText(both, 2));
            break;
        }
        case TelnetEvent::Subnegotiation:
            events.push_back(std::string(decoder.overflowed() ? "s! " : "s ") +
                             HexText(decoder.subnegotiation(), decoder.subnegotiation_length()));
            break;
        }
    }
    return events;
}

TEST(TelnetDecoder, EventsOfALine) {
    struct Case {
        const char *what;
        Bytes line;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"plain data", {0x7E, 0x00, 0x7E}, {"d 7e", "d 00", "d 7e"}},
        {"doubled 0xFF is one data byte", {0xFF, 0xFF, 0xFD}, {"d ff", "d fd"}},
        {"negotiations", {0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x2C}, {"n fb03", "n fd2c"}},
        {"a subnegotiation with 0xFF undoubled",
         {0xFF, 0xFA, 0x2C, 0x69, 0xFF, 0xFF, 0xFF, 0xF0, 0x42},
         {"s 2c69ff", "d 42"}},
        {"one-byte commands carry nothing", {0xFF, 0xF1, 0xFF, 0xF9, 0xFF, 0xF0, 0x01}, {"d 01"}},
        {"a subnegotiation longer than the buffer is read to its end",
         {0xFF, 0xFA, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xFF, 0xF0, 0x55},
         {"s! 0102030405060708", "d 55"}},
        {"a command inside a subnegotiation ends it unreported",
         {0xFF, 0xFA, 0x2C, 0x65, 0xFF, 0xFD, 0x00, 0x33},
         {"n fd00", "d 33"}},
        {"a command split at every byte", {0xFF}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Events(c.line), c.events);
    }
}

// A server's side of a conversation, fed to a client in one piece.
struct Fed {
    std::string data;
    std::string answer;
};

Fed Feed(Rfc2217Client &client, const Bytes &in) {
    Bytes data(in.size() + 1);
    Bytes answer(kormelt::RFC2217_ANSWER_CAPACITY);
    size_t data_count = 0;
    size_t answer_count = 0;
    client.Feed(in.data(), in.size(), data.data(), &data_count, answer.data(), answer.size(), &answer_count);
    return {HexText(data.data(), data_count), HexText(answer.data(), answer_count)};
}

// What the serial server of the tests sends on a connection, and what it
// answers to the settings.
const Bytes SERVER_GREETING = {0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x01, 0xFF, 0xFE,
                               0x01, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C};
Bytes Answer(uint8_t code, Bytes value) { return Concat({{0xFF, 0xFA, 0x2C, code}, value, {0xFF, 0xF0}}); }
const Bytes RIGHT_ANSWERS = Concat(
    {Answer(101, {0x00, 0x00, 0x4B, 0x00}), Answer(102, {8}), Answer(103, {1}), Answer(104, {1}), Answer(105, {1})});

TEST(Rfc2217Client, GreetingSettingsAndModemLinesAsLiteralBytes) {
    Rfc2217Client client;
    uint8_t out[kormelt::RFC2217_SETTINGS_CAPACITY];
    EXPECT_EQ(HexText(out, client.Greeting(out, sizeof out)), "fffb00fffd00fffb03fffd03fffb2c");
    EXPECT_EQ(HexText(out, client.LineSettings(out, sizeof out)),
              "fffa2c0100004b00fff0fffa2c0208fff0fffa2c0301fff0fffa2c0401fff0fffa2c0501fff0");
    // DTR before RTS, both ways.
    EXPECT_EQ(HexText(out, Rfc2217Client::ModemLines(true, out, sizeof out)), "fffa2c0508fff0fffa2c050bfff0");
    EXPECT_EQ(HexText(out, Rfc2217Client::ModemLines(false, out, sizeof out)), "fffa2c0509fff0fffa2c050cfff0");
    EXPECT_EQ(client.Greeting(out, kormelt::RFC2217_GREETING_BYTES - 1), 0u);
}

TEST(Rfc2217Client, AServerThatAgreesToEverything) {
    Rfc2217Client client;
    const Fed greeting = Feed(client, SERVER_GREETING);
    EXPECT_EQ(greeting.answer, "fffe01") << "echo refused";
    EXPECT_EQ(greeting.data, "");
    EXPECT_TRUE(client.Negotiated());
    EXPECT_TRUE(client.BinaryAgreed());
    EXPECT_TRUE(client.ComPortAgreed());
    uint8_t out[kormelt::RFC2217_SETTINGS_CAPACITY];
    ASSERT_GT(client.LineSettings(out, sizeof out), 0u);
    // A notice of the modem state first, which is no answer; then the answers.
    EXPECT_EQ(Feed(client, Answer(107, {0x00})).answer, "");
    EXPECT_FALSE(client.SettingsAnswered());
    const Fed answers = Feed(client, Concat({RIGHT_ANSWERS, {0x7E, 0xFF, 0xFF}}));
    EXPECT_TRUE(client.SettingsAgreed());
    EXPECT_EQ(answers.data, "7eff") << "the device's bytes after them, 0xFF undoubled";
}

TEST(Rfc2217Client, ServersThatSayNoOrOtherwise) {
    struct Case {
        const char *what;
        Bytes server;
        bool negotiated, binary, com_port;
        Bytes answers;  // to the settings, once sent; empty: not sent
        bool settings_answered, settings_agreed;
    };
    const Bytes binary_both = {0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00};
    const Case cases[] = {
        {"refuses COM-PORT-OPTION", Concat({binary_both, {0xFF, 0xFE, 0x2C}}), true, true, false, {}, false, false},
        {"refuses binary from the server",
         {0xFF, 0xFD, 0x00, 0xFF, 0xFC, 0x00, 0xFF, 0xFD, 0x2C},
         true,
         false,
         true,
         {},
         false,
         false},
        {"refuses binary to the server",
         {0xFF, 0xFE, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C},
         true,
         false,
         true,
         {},
         false,
         false},
        {"says nothing of COM-PORT-OPTION", binary_both, false, true, false, {}, false, false},
        {"sets another baud rate", Concat({binary_both, {0xFF, 0xFD, 0x2C}}), true, true, true,
         Concat({Answer(101, {0x00, 0x00, 0x25, 0x80}), Answer(102, {8}), Answer(103, {1}), Answer(104, {1}),
                 Answer(105, {1})}),
         true, false},
        {"sets even parity", Concat({binary_both, {0xFF, 0xFD, 0x2C}}), true, true, true,
         Concat({Answer(101, {0x00, 0x00, 0x4B, 0x00}), Answer(102, {8}), Answer(103, {3}), Answer(104, {1}),
                 Answer(105, {1})}),
         true, false},
        {"answers four of five", Concat({binary_both, {0xFF, 0xFD, 0x2C}}), true, true, true,
         Concat({Answer(101, {0x00, 0x00, 0x4B, 0x00}), Answer(102, {8}), Answer(103, {1}), Answer(104, {1})}), false,
         false},
        {"a second, wrong answer changes nothing", Concat({binary_both, {0xFF, 0xFD, 0x2C}}), true, true, true,
         Concat({RIGHT_ANSWERS, Answer(101, {0x00, 0x00, 0x25, 0x80})}), true, true},
        {"a short baud rate answer", Concat({binary_both, {0xFF, 0xFD, 0x2C}}), true, true, true,
         Concat({Answer(101, {0x4B, 0x00}), Answer(102, {8}), Answer(103, {1}), Answer(104, {1}), Answer(105, {1})}),
         true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Rfc2217Client client;
        Feed(client, c.server);
        EXPECT_EQ(client.Negotiated(), c.negotiated);
        EXPECT_EQ(client.BinaryAgreed(), c.binary);
        EXPECT_EQ(client.ComPortAgreed(), c.com_port);
        if (c.answers.empty()) {
            continue;
        }
        uint8_t out[kormelt::RFC2217_SETTINGS_CAPACITY];
        ASSERT_GT(client.LineSettings(out, sizeof out), 0u);
        Feed(client, c.answers);
        EXPECT_EQ(client.SettingsAnswered(), c.settings_answered);
        EXPECT_EQ(client.SettingsAgreed(), c.settings_agreed);
    }
}

TEST(Rfc2217Client, AnswersBeforeTheSettingsWereAskedDoNotCount) {
    Rfc2217Client client;
    Feed(client, Concat({SERVER_GREETING, RIGHT_ANSWERS}));
    EXPECT_FALSE(client.SettingsAnswered());
}

TEST(Rfc2217Client, AFloodOfRequestsGetsFewAnswersAndEachOptionOnce) {
    Rfc2217Client client;
    Bytes flood;
    for (int round = 0; round < 3; ++round) {
        for (int option = 100; option < 140; ++option) {
            flood.insert(flood.end(), {0xFF, 0xFD, static_cast<uint8_t>(option)});
        }
    }
    const Fed first = Feed(client, flood);
    EXPECT_EQ(first.answer.size() / 2, kormelt::RFC2217_ANSWERS_PER_FEED * kormelt::TELNET_NEGOTIATION_BYTES);
    EXPECT_EQ(first.answer.substr(0, 6), "fffc64") << "WONT, to the first option asked";
    // The options answered are never answered again; the next feed answers
    // the next ones, and a client that has answered them all goes quiet.
    std::string all = first.answer;
    for (int feed = 0; feed < 10; ++feed) {
        all += Feed(client, flood).answer;
    }
    EXPECT_EQ(all.size() / 2, 40 * kormelt::TELNET_NEGOTIATION_BYTES) << "one WONT per option";
    EXPECT_EQ(Feed(client, flood).answer, "");
}

TEST(Rfc2217Client, ASubnegotiationWithoutEndHidesTheDataButCostsNoMemory) {
    Rfc2217Client client;
    Feed(client, SERVER_GREETING);
    Bytes endless = {0xFF, 0xFA, 0x2C};
    endless.resize(1 << 16, 0x55);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(Feed(client, endless).data, "");
    }
    // Whatever ends it lets the data through again.
    EXPECT_EQ(Feed(client, {0xFF, 0xF0, 0x7E}).data, "7e");
}

TEST(Rfc2217Client, ConfirmsAnOptionTurnedOffAfterItWasOn) {
    Rfc2217Client client;
    Feed(client, SERVER_GREETING);
    EXPECT_EQ(Feed(client, {0xFF, 0xFE, 0x00, 0xFF, 0xFC, 0x00}).answer, "fffc00fffe00");
    EXPECT_FALSE(client.BinaryAgreed());
    EXPECT_EQ(Feed(client, {0xFF, 0xFE, 0x00, 0xFF, 0xFC, 0x00}).answer, "") << "off already: no answer";
}

}  // namespace
