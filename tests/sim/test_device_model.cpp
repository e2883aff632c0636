// The simulator's device model without a line: frames in, requests, replies
// and the flash out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tools/sim/device_model.h"
#include "tools/sim/request_log.h"

using kormelt::FrameEvent;
using kormelt::sim::DeviceModel;
using kormelt::sim::Identity;
using kormelt::sim::LoggedRequest;
using kormelt::sim::LogRecord;
using kormelt::sim::ParseLogRecord;
using kormelt::sim::ReadRequest;
using kormelt::sim::ReadRequestLog;
using kormelt::sim::Request;
using kormelt::sim::RequestKind;
using Bytes = std::vector<uint8_t>;

namespace {

// A good frame's decoded bytes: the payload and its CRC (taken from the
// request's own literal wire bytes where the tests have them).
Request Good(const Bytes &payload, uint8_t crc_high, uint8_t crc_low) {
    Bytes decoded = payload;
    decoded.push_back(crc_high);
    decoded.push_back(crc_low);
    return ReadRequest(FrameEvent::Frame, decoded.data(), decoded.size(), false);
}

// A request of a known kind straight from its payload, for the replies.
Request Of(RequestKind kind, const Bytes &payload) { return Request{kind, payload}; }

Bytes ProgramPayload(uint32_t address, uint8_t fill) {
    Bytes payload = {0x03, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                     static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)};
    payload.resize(133, fill);
    return payload;
}

TEST(SimDeviceModel, ReadsEachFrameAndLogsItAsOneJsonLine) {
    struct Case {
        const char *what;
        Request request;
        RequestKind kind;
        std::string log;
    };
    const Bytes nine_bytes(9, 0x09);
    const Case cases[] = {
        {"identify", Good({0x00}, 0xBE, 0xA0), RequestKind::Identify, R"({"n":7,"kind":"identify","bytes":"00"})"},
        {"restart", Good({0x01}, 0xAE, 0x81), RequestKind::Restart, R"({"n":7,"kind":"restart","bytes":"01"})"},
        {"erase", Good({0x02, 0x0B}, 0x31, 0x1C), RequestKind::Erase, R"({"n":7,"kind":"erase","block":11,"bytes":"020b"})"},
        {"unknown", Good({0x00, 0x00}, 0xE6, 0x15), RequestKind::Unknown, R"({"n":7,"kind":"unknown","bytes":"0000"})"},
        {"short frame", ReadRequest(FrameEvent::Dropped, nine_bytes.data(), 2, false), RequestKind::Short,
         R"({"n":7,"kind":"short","bytes":"0909"})"},
        {"bad crc", ReadRequest(FrameEvent::Error, nine_bytes.data(), 3, false), RequestKind::BadCrc,
         R"({"n":7,"kind":"bad-crc","bytes":"090909"})"},
        {"overlong", ReadRequest(FrameEvent::Error, nine_bytes.data(), 4, true), RequestKind::Overlong,
         R"({"n":7,"kind":"overlong","bytes":"09090909"})"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.request.kind, c.kind);
        EXPECT_EQ(LogRecord(7, c.request), c.log);
        const bool decoded = c.kind != RequestKind::Short && c.kind != RequestKind::BadCrc &&
                             c.kind != RequestKind::Overlong;
        EXPECT_EQ(c.request.Decoded(), decoded);
    }
}

TEST(SimDeviceModel, KnowsRequestsByCommandAndLength) {
    struct Case {
        Bytes payload;
        RequestKind kind;
    };
    const Case cases[] = {
        {{0x00}, RequestKind::Identify},     {{0x00, 0x01}, RequestKind::Unknown},
        {{0x01}, RequestKind::Restart},      {{0x01, 0x00}, RequestKind::Unknown},
        {{0x02, 0x06}, RequestKind::Erase},  {{0x02}, RequestKind::Unknown},
        {ProgramPayload(0, 0x42), RequestKind::Program},
        {Bytes(132, 0x03), RequestKind::Unknown},
        {{0x09, 0x01}, RequestKind::Unknown},
    };
    for (const Case &c : cases) {
        const Bytes decoded = WithCrc(c.payload);
        const Request request = ReadRequest(FrameEvent::Frame, decoded.data(), decoded.size(), false);
        EXPECT_EQ(request.kind, c.kind) << "payload of " << c.payload.size() << " bytes, command " << +c.payload[0];
        EXPECT_EQ(request.bytes, c.payload) << "the CRC is not part of the payload";
    }
}

TEST(SimRequestLog, ProgramIsLoggedWithItsAddressAndReadBack) {
    const Request request = Of(RequestKind::Program, ProgramPayload(0x12345680, 0x00));
    const std::string line = LogRecord(3, request);
    const std::string head = R"({"n":3,"kind":"program","address":305419904,"bytes":"0380563412000000)";
    EXPECT_EQ(line.substr(0, head.size()), head);
    LoggedRequest read;
    ASSERT_TRUE(ParseLogRecord(line, &read));
    EXPECT_EQ(read.number, 3u);
    EXPECT_EQ(read.kind, "program");
    EXPECT_EQ(read.address, 0x12345680u);
    EXPECT_FALSE(read.block.has_value());
    EXPECT_EQ(read.bytes, request.bytes);
}

TEST(SimRequestLog, ReadsOnlyCompleteLinesOfTheFormat) {
    const std::string text = std::string(R"({"n":1,"kind":"identify","bytes":"00"})") + "\n" +
                             R"( { "n" : 2 , "kind" : "erase" , "block" : 11 , "bytes" : "020b" , "later" : 5 } )" +
                             "\n" +
                             "identify 00\n" +                                    // the old words
                             R"({"n":4,"kind":"identify","bytes":"0"})" + "\n" +   // odd hex
                             R"({"n":5,"kind":"identify"})" + "\n" +              // no bytes
                             R"({"n":6,"kind":"identify","bytes":"00"} x)" + "\n" + // trailing text
                             R"({"n":1.5,"kind":"identify","bytes":"00"})" + "\n" +        // no whole number
                             R"({"n":-1,"kind":"identify","bytes":"00"})" + "\n" +         // below 0
                             R"({"n":4294967296,"kind":"identify","bytes":"00"})" + "\n" + // beyond 32 bits
                             R"({"n":"8","kind":"identify","bytes":"00"})" + "\n" +        // a count as text
                             R"({"n":9,"kind":"erase","block":"11","bytes":"020b"})" + "\n" + // a block as text
                             R"({"n":10,"kind":1,"bytes":"00"})" + "\n" +                  // a kind that is no text
                             R"({"n":7,"kind":"restart","bytes":"01"})";            // still being written
    const std::vector<LoggedRequest> log = ReadRequestLog(text);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].number, 1u);
    EXPECT_EQ(log[0].bytes, Bytes{0x00});
    EXPECT_EQ(log[1].kind, "erase");
    EXPECT_EQ(log[1].block, 11u);
    EXPECT_EQ(log[1].bytes, (Bytes{0x02, 0x0B}));
}

TEST(SimDeviceModel, AnswersIdentifyWithTheIdentityItWasGiven) {
    struct Case {
        Identity identity;
        Bytes reply;
    };
    const Case cases[] = {
        {{}, {0x01, 0x00, 'k', 'o', 'r', 'm', 'e', 'l', 't'}},
        {{"kormelx", {}}, {0x01, 0x00, 'k', 'o', 'r', 'm', 'e', 'l', 'x'}},
        {{"kormelt", 8}, {0x01, 0x00, 'k', 'o', 'r', 'm', 'e', 'l'}},
        {{"kormelt", 10}, {0x01, 0x00, 'k', 'o', 'r', 'm', 'e', 'l', 't', 0x00}},
        {{"kormelt", 0}, {}},
    };
    for (const Case &c : cases) {
        DeviceModel model(c.identity);
        EXPECT_EQ(model.Answer(Of(RequestKind::Identify, {0x00})), c.reply) << c.identity.text;
    }
}

TEST(SimDeviceModel, CarriesOutEraseAndProgramAndKeepsTheFlash) {
    DeviceModel model({});
    EXPECT_EQ(model.Answer(Of(RequestKind::Erase, {0x02, 0x0B})), (Bytes{0x02, 0x00}));
    EXPECT_EQ(model.Answer(Of(RequestKind::Erase, {0x02, 0x00})), (Bytes{0x02, 0x00}));
    EXPECT_EQ(model.Answer(Of(RequestKind::Program, ProgramPayload(0x100, 0xA1))), (Bytes{0x03, 0x00}));
    EXPECT_EQ(model.Answer(Of(RequestKind::Program, ProgramPayload(0x000, 0xB2))), (Bytes{0x03, 0x00}));
    EXPECT_EQ(model.Answer(Of(RequestKind::Restart, {0x01})), (Bytes{0x01, 0x00}));

    EXPECT_EQ(model.flash().erased_blocks, (Bytes{11, 0}));
    // From address 0 to the end of the highest packet; the hole holds 0xFF.
    Bytes image(0x180, 0xFF);
    std::fill(image.begin(), image.begin() + 0x80, 0xB2);
    std::fill(image.begin() + 0x100, image.end(), 0xA1);
    EXPECT_EQ(model.flash().image, image);
}

TEST(SimDeviceModel, RejectsWhatItCannotCarryOut) {
    DeviceModel model({});
    constexpr uint32_t FLASH_END = 16u << 20;
    EXPECT_EQ(model.Answer(Of(RequestKind::Program, ProgramPayload(FLASH_END - 128, 0x11))), (Bytes{0x03, 0x00}));
    EXPECT_EQ(model.Answer(Of(RequestKind::Program, ProgramPayload(FLASH_END - 127, 0x22))), (Bytes{0x03, 0x01}));
    EXPECT_EQ(model.Answer(Of(RequestKind::Program, ProgramPayload(0xFFFFFF80, 0x33))), (Bytes{0x03, 0x01}));
    EXPECT_EQ(model.flash().image.size(), FLASH_END);
    EXPECT_EQ(model.Answer(Of(RequestKind::Unknown, {0x09, 0x01})), (Bytes{0x09, 0x01}));
    EXPECT_TRUE(model.Answer(ReadRequest(FrameEvent::Error, Bytes{1, 2, 3}.data(), 3, false)).empty());
}

}  // namespace
