#include <gtest/gtest.h>

#include <vector>

#include "device/api.h"
#include "link/frame.h"
#include "protocol/crc16.h"
#include "protocol/status_names.h"
#include "tests/support/bytes.h"
#include "tests/support/fake_port.h"

using kormelt::FrameExchange;
using kormelt::FrameReceive;
using kormelt::FrameSend;
using kormelt::PortRecord;
using Bytes = std::vector<uint8_t>;

namespace {

// A fake line on port 1, opened like a COM port.
class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        fake::Attach(1, &line);
        ASSERT_EQ(kormelt::PortOpen(&port, 1), STATUS_OK);
    }
    void TearDown() override {
        kormelt::PortClose(port);
        fake::Reset();
    }
    void Feed(const Bytes &bytes) { line.incoming.insert(line.incoming.end(), bytes.begin(), bytes.end()); }
    int32_t Receive() { return FrameReceive(port, reply, sizeof reply, &reply_length); }
    Bytes Payload() const { return Bytes(reply, reply + reply_length); }

    fake::Line line;
    PortRecord *port = nullptr;
    uint8_t reply[256] = {};
    int32_t reply_length = -1;
};

// Frame of a payload, built independently of the encoder under test.
Bytes Framed(const Bytes &payload) {
    Bytes body = payload;
    const uint16_t crc = kormelt::CrcBlock(payload.data(), payload.size());
    body.push_back(static_cast<uint8_t>(crc >> 8));
    body.push_back(static_cast<uint8_t>(crc & 0xFF));
    Bytes out{0x7E};
    for (uint8_t b : body) {
        if (b == 0x7E || b == 0xFD) {
            out.push_back(0xFD);
            out.push_back(static_cast<uint8_t>(b ^ 0x20));
        } else {
            out.push_back(b);
        }
    }
    out.push_back(0x7E);
    return out;
}

TEST_F(FrameTest, SendsRequestsByteForByte) {
    struct Case {
        const char *what;
        Bytes payload;
        Bytes wire;
    };
    const Case cases[] = {
        {"identify", {0x00}, {0x7E, 0x00, 0xBE, 0xA0, 0x7E}},
        {"restart", {0x01}, {0x7E, 0x01, 0xAE, 0x81, 0x7E}},
        {"erase block 11", {0x02, 0x0B}, {0x7E, 0x02, 0x0B, 0x31, 0x1C, 0x7E}},
        {"flag byte", {0x7E}, {0x7E, 0xFD, 0x5E, 0x21, 0xF9, 0x7E}},
        {"escape byte", {0xFD}, {0x7E, 0xFD, 0xDD, 0x80, 0x12, 0x7E}},
        {"bytes never escaped", {0x7D, 0x11, 0x13}, Framed({0x7D, 0x11, 0x13})},
    };
    for (const Case &c : cases) {
        line.written.clear();
        EXPECT_EQ(FrameSend(port, c.payload.data(), c.payload.size()), STATUS_OK) << c.what;
        EXPECT_EQ(line.written, c.wire) << c.what;
    }
}

TEST_F(FrameTest, EscapesCrcBytesThatEqualFlagOrEscape) {
    // Search two-byte payloads whose CRC holds 0x7E or 0xFD in either byte.
    int found_high = 0;
    int found_low = 0;
    for (unsigned v = 0; v < 0x10000 && (found_high < 2 || found_low < 2); ++v) {
        const Bytes payload{static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)};
        if (payload[0] == 0x7E || payload[0] == 0xFD || payload[1] == 0x7E || payload[1] == 0xFD) {
            continue;
        }
        const uint16_t crc = kormelt::CrcBlock(payload.data(), payload.size());
        const uint8_t high = static_cast<uint8_t>(crc >> 8);
        const uint8_t low = static_cast<uint8_t>(crc & 0xFF);
        const bool hit_high = high == 0x7E || high == 0xFD;
        const bool hit_low = low == 0x7E || low == 0xFD;
        if (!hit_high && !hit_low) {
            continue;
        }
        found_high += hit_high;
        found_low += hit_low;
        line.written.clear();
        ASSERT_EQ(FrameSend(port, payload.data(), payload.size()), STATUS_OK);
        EXPECT_EQ(line.written, Framed(payload));
        EXPECT_EQ(line.written.size(), 6u + hit_high + hit_low);
    }
    EXPECT_GE(found_high, 1);
    EXPECT_GE(found_low, 1);
}

TEST_F(FrameTest, LargestRequestLeavesInOneWrite) {
    Bytes payload(133, 0x7E);
    int writes = 0;
    line.on_write = [&](fake::Line &, const uint8_t *, size_t) { ++writes; };
    EXPECT_EQ(FrameSend(port, payload.data(), payload.size()), STATUS_OK);
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(line.written, Framed(payload));

    Bytes too_long(kormelt::FRAME_MAX_PAYLOAD + 1, 0xFD);
    EXPECT_EQ(FrameSend(port, too_long.data(), too_long.size()), STATUS_WRITE);
    Bytes longest(kormelt::FRAME_MAX_PAYLOAD, 0xFD);
    EXPECT_EQ(FrameSend(port, longest.data(), longest.size()), STATUS_OK);
}

TEST_F(FrameTest, FailedOrShortWriteGives5AndNothingIsRead) {
    Feed(Framed({0x42}));
    line.write_fails = true;
    const uint8_t payload[] = {0x00};
    EXPECT_EQ(FrameExchange(port, payload, 1, reply, sizeof reply, &reply_length), STATUS_WRITE);
    line.write_fails = false;
    line.write_short_by = 1;
    EXPECT_EQ(FrameExchange(port, payload, 1, reply, sizeof reply, &reply_length), STATUS_WRITE);
    EXPECT_EQ(line.bytes_read, 0u);
    EXPECT_EQ(line.timeouts, 0u);
    EXPECT_EQ(reply_length, 0);
}

TEST_F(FrameTest, ExchangeReturnsTheDecodedReply) {
    line.on_write = [](fake::Line &l, const uint8_t *, size_t) {
        const Bytes r = Framed({0x10, 0x7E, 0xFD, 0x20});
        l.incoming.insert(l.incoming.end(), r.begin(), r.end());
    };
    const uint8_t payload[] = {0x01};
    EXPECT_EQ(FrameExchange(port, payload, 1, reply, sizeof reply, &reply_length), STATUS_OK);
    EXPECT_EQ(Payload(), (Bytes{0x10, 0x7E, 0xFD, 0x20}));
}

// The decoder's state table: what comes down the line, and what one receive
// makes of it.
TEST_F(FrameTest, DecoderStateTable) {
    struct Case {
        const char *what;
        Bytes line_bytes;
        int32_t status;
        Bytes payload;
    };
    const Bytes good = Framed({0x05, 0x06});
    const Case cases[] = {
        {"plain frame", good, STATUS_OK, {0x05, 0x06}},
        {"noise before the flag", Concat({{0x00, 0x13, 0xFD, 0x55}, good}), STATUS_OK, {0x05, 0x06}},
        {"back-to-back flags", Concat({{0x7E, 0x7E, 0x7E}, good}), STATUS_OK, {0x05, 0x06}},
        {"single payload byte", Framed({0x99}), STATUS_OK, {0x99}},
        {"escaped flag does not end the frame", Framed({0x7E, 0x01}), STATUS_OK, {0x7E, 0x01}},
        {"escaped escape", Framed({0xFD}), STATUS_OK, {0xFD}},
        {"escaped flag value is data, not a closing flag", {0x7E, 0x41, 0xFD, 0x7E}, STATUS_TIMEOUT, {}},
        {"bad crc", {0x7E, 0x05, 0x06, 0x00, 0x00, 0x7E}, STATUS_CRC, {}},
        {"one decoded byte dropped, next frame read", Concat({{0x7E, 0x01, 0x7E}, good}), STATUS_OK, {0x05, 0x06}},
        {"two decoded bytes dropped, next frame read", Concat({{0x7E, 0x01, 0x02, 0x7E}, good}), STATUS_OK,
         {0x05, 0x06}},
        // After a dropped short frame its closing flag does not open the
        // next one: the body that follows is noise up to its closing flag,
        // which opens a frame that never completes here.
        {"frame sharing the short frame's flag is lost",
         Concat({{0x7E, 0x01, 0x7E}, Bytes(good.begin() + 1, good.end())}), STATUS_TIMEOUT, {}},
        {"silence", {}, STATUS_TIMEOUT, {}},
        {"silence after the opening flag", {0x7E}, STATUS_TIMEOUT, {}},
        {"silence mid-frame", {0x7E, 0x05, 0x06}, STATUS_TIMEOUT, {}},
        {"silence after an escape", {0x7E, 0x05, 0xFD}, STATUS_TIMEOUT, {}},
    };
    for (const Case &c : cases) {
        line.incoming.assign(c.line_bytes.begin(), c.line_bytes.end());
        reply_length = -1;
        EXPECT_EQ(Receive(), c.status) << c.what;
        EXPECT_EQ(Payload(), c.payload) << c.what;
        if (c.status != STATUS_OK) {
            EXPECT_EQ(reply_length, 0) << c.what;
        }
    }
}

TEST_F(FrameTest, WaitsReplyTimeoutForEachByte) {
    EXPECT_EQ(Receive(), STATUS_TIMEOUT);
    EXPECT_EQ(line.last_timeout_ms, 3000u);
}

TEST_F(FrameTest, BytesAfterTheClosingFlagAreLeftForTheNextReceive) {
    Feed(Concat({Framed({0x01}), Framed({0x02})}));
    EXPECT_EQ(Receive(), STATUS_OK);
    EXPECT_EQ(Payload(), Bytes{0x01});
    EXPECT_EQ(Receive(), STATUS_OK);
    EXPECT_EQ(Payload(), Bytes{0x02});
}

TEST_F(FrameTest, OversizeFrameIsRefusedWithoutWritingPastTheBuffer) {
    // Guard bytes after a small reply buffer must survive an overlong frame.
    uint8_t buffer[16 + 8];
    std::fill(std::begin(buffer), std::end(buffer), 0xCC);
    const Bytes fits(14, 0x33);    // 14 + 2 CRC bytes = 16 decoded
    const Bytes too_long(15, 0x33);  // 17 decoded
    Feed(Concat({Framed(too_long), Framed(fits)}));
    EXPECT_EQ(FrameReceive(port, buffer, 16, &reply_length), STATUS_CRC);
    EXPECT_EQ(reply_length, 0);
    for (size_t i = 16; i < sizeof buffer; ++i) {
        EXPECT_EQ(buffer[i], 0xCC) << "guard byte " << i;
    }
    // The rest of the overlong frame was consumed: the next frame is whole.
    EXPECT_EQ(FrameReceive(port, buffer, 16, &reply_length), STATUS_OK);
    EXPECT_EQ(reply_length, 14);
}

TEST_F(FrameTest, BabblingLineEndsWithTimeoutWithinTheByteLimit) {
    struct Case {
        const char *what;
        uint8_t fill;
    };
    // Noise without a flag, and a frame body that never closes.
    for (const Case &c : {Case{"noise", 0x55}, Case{"endless frame", 0x7E}}) {
        size_t produced = 0;
        bool first = true;
        line.incoming.clear();
        line.on_empty = [&](fake::Line &l) {
            l.incoming.push_back(first ? c.fill : 0x55);
            first = false;
            ++produced;
            return true;
        };
        uint8_t big[8192];
        EXPECT_EQ(FrameReceive(port, big, sizeof big, &reply_length), STATUS_TIMEOUT) << c.what;
        EXPECT_LE(produced, kormelt::REPLY_LINE_BYTE_LIMIT) << c.what;
    }
}

}  // namespace
