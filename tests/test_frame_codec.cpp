// The frame codec of the protocol core on its own: the encoder into a
// caller's buffer, and the push decoder fed one byte at a time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/crc16.h"
#include "protocol/frame_codec.h"
#include "protocol/hex.h"

#include "tests/support/bytes.h"
#include "tools/common/name_table.h"

using kormelt::FrameDecoder;
using kormelt::FrameEvent;
using Bytes = std::vector<uint8_t>;

namespace {

// Literal frames: identify (7E 00 BE A0 7E), restart, erase of block 11.
const Bytes IDENTIFY = {0x7E, 0x00, 0xBE, 0xA0, 0x7E};
const Bytes RESTART = {0x7E, 0x01, 0xAE, 0x81, 0x7E};
const Bytes ERASE_11 = {0x7E, 0x02, 0x0B, 0x31, 0x1C, 0x7E};

constexpr kormelt::Named<FrameEvent> EVENT_NAMES[] = {
    {FrameEvent::NeedMore, "need-more"}, {FrameEvent::Frame, "frame"},
    {FrameEvent::Dropped, "dropped"},    {FrameEvent::Error, "error"},
};
static_assert(kormelt::NamesEveryValue(EVENT_NAMES, FrameEvent::Error));

// Feeds the bytes and writes down every event but NeedMore, with the
// decoded bytes of the frame it ended: "frame 0b0231", "dropped 01".
std::vector<std::string> Events(FrameDecoder &decoder, const uint8_t *buffer, const Bytes &line) {
    std::vector<std::string> events;
    for (uint8_t byte : line) {
        const FrameEvent event = decoder.Feed(byte);
        if (event == FrameEvent::NeedMore) {
            continue;
        }
        const std::string name = kormelt::NameIn(EVENT_NAMES, event, "?");
        events.push_back(name + (decoder.overflowed() ? " overflowed " : " ") +
                         kormelt::HexText(buffer, decoder.length()));
    }
    return events;
}

TEST(FrameDecoder, EventsOfALine) {
    struct Case {
        const char *what;
        Bytes line;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"one frame", IDENTIFY, {"frame 00bea0"}},
        {"noise before it, 0xFD 0x5E included", Concat({{0x00, 0xFD, 0x5E, 0x13}, IDENTIFY}), {"frame 00bea0"}},
        {"doubled flags are no frame", Concat({{0x7E, 0x7E}, IDENTIFY}), {"frame 00bea0"}},
        {"one flag closes a frame and opens the next", Concat({IDENTIFY, Bytes(RESTART.begin() + 1, RESTART.end())}),
         {"frame 00bea0", "frame 01ae81"}},
        {"escaped flag and escape are data", {0x7E, 0xFD, 0x5E, 0x21, 0xF9, 0x7E, 0xFD, 0xDD, 0x80, 0x12, 0x7E},
         {"frame 7e21f9", "frame fd8012"}},
        {"bad crc, then the frame sharing its flag",
         Concat({{0x7E, 0x00, 0xBE, 0xA1}, Bytes(ERASE_11.begin(), ERASE_11.end())}),
         {"error 00bea1", "frame 020b311c"}},
        {"short frames are dropped", Concat({{0x7E, 0x11, 0x7E, 0x7E, 0x22, 0x33, 0x7E}, IDENTIFY}),
         {"dropped 11", "dropped 2233", "frame 00bea0"}},
        // After a short frame a fresh flag is needed: the body that follows
        // its closing flag is noise, and its closing flag opens a frame.
        {"the frame sharing a short frame's flag is lost",
         Concat({{0x7E, 0x11, 0x7E}, Bytes(IDENTIFY.begin() + 1, IDENTIFY.end()), RESTART}),
         {"dropped 11", "frame 01ae81"}},
        {"an open frame ends nothing", {0x7E, 0x00, 0xBE}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t buffer[64] = {};
        FrameDecoder decoder(buffer, sizeof buffer);
        EXPECT_EQ(Events(decoder, buffer, c.line), c.events);
    }
}

TEST(FrameDecoder, FrameReportsItsPayloadLength) {
    uint8_t buffer[16] = {};
    FrameDecoder decoder(buffer, sizeof buffer);
    FrameEvent last = FrameEvent::NeedMore;
    for (uint8_t byte : ERASE_11) {
        last = decoder.Feed(byte);
    }
    EXPECT_EQ(last, FrameEvent::Frame);
    EXPECT_EQ(decoder.length(), 4u);
    EXPECT_EQ(decoder.payload_length(), 2u);
    EXPECT_FALSE(decoder.overflowed());
}

TEST(FrameDecoder, OverlongFrameStopsAtCapacityAndIsRefusedAtItsFlag) {
    // Guard bytes after the capacity must survive an overlong frame.
    constexpr size_t CAPACITY = 4;
    uint8_t buffer[CAPACITY + 4];
    std::fill(std::begin(buffer), std::end(buffer), 0xCC);
    FrameDecoder decoder(buffer, CAPACITY);
    const Bytes too_long = {0x7E, 0x01, 0x02, 0x03, 0x04, 0xFD, 0x5E, 0x06, 0x7E};
    EXPECT_EQ(Events(decoder, buffer, too_long), std::vector<std::string>{"error overflowed 01020304"});
    for (size_t i = CAPACITY; i < sizeof buffer; ++i) {
        EXPECT_EQ(buffer[i], 0xCC) << "guard byte " << i;
    }
    // Read to its closing flag, which opens the next frame: that one fits.
    EXPECT_EQ(Events(decoder, buffer, Bytes(ERASE_11.begin() + 1, ERASE_11.end())),
              std::vector<std::string>{"frame 020b311c"});
}

TEST(FrameCodec, EveryPayloadComesBackAsItWent) {
    // Payloads of every length, from plain bytes to nothing but bytes that
    // need stuffing, through the encoder and back through the decoder.
    for (const uint8_t fill : {uint8_t{0x41}, uint8_t{0x7E}, uint8_t{0xFD}}) {
        for (size_t length = 1; length <= kormelt::FRAME_MAX_PAYLOAD; length += 7) {
            SCOPED_TRACE("fill " + std::to_string(fill) + ", length " + std::to_string(length));
            Bytes payload(length, fill);
            payload.front() = static_cast<uint8_t>(length);
            uint8_t wire[kormelt::FRAME_TX_CAPACITY];
            const size_t wire_length = kormelt::FrameEncode(payload.data(), payload.size(), wire, sizeof wire);
            ASSERT_GT(wire_length, 0u);
            uint8_t buffer[kormelt::FRAME_TX_CAPACITY];
            FrameDecoder decoder(buffer, sizeof buffer);
            FrameEvent last = FrameEvent::NeedMore;
            for (size_t i = 0; i < wire_length; ++i) {
                ASSERT_EQ(last, FrameEvent::NeedMore) << "ended early at byte " << i;
                last = decoder.Feed(wire[i]);
            }
            ASSERT_EQ(last, FrameEvent::Frame);
            EXPECT_EQ(Bytes(buffer, buffer + decoder.payload_length()), payload);
        }
    }
}

TEST(FrameCodec, EncoderRefusesABufferTooSmall) {
    const Bytes payload = {0x7E, 0x00, 0xFD};  // 3 bytes stuffed to 6, and the CRC
    uint8_t wire[32];
    const size_t needed = kormelt::FrameEncode(payload.data(), payload.size(), wire, sizeof wire);
    ASSERT_GT(needed, 0u);
    EXPECT_EQ(kormelt::FrameEncode(payload.data(), payload.size(), wire, needed), needed);
    for (size_t capacity = 0; capacity < needed; ++capacity) {
        EXPECT_EQ(kormelt::FrameEncode(payload.data(), payload.size(), wire, capacity), 0u) << capacity;
    }
}

}  // namespace
