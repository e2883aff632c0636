// The Win32 serial port with the real platform calls. Run under Wine with
// COM3 leading to a pseudo-terminal whose far end sends every byte back, and
// with COM1, COM2 and COM4 to COM7 mapped to no line at all.
#include <windows.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "link/frame.h"
#include "link/serial_port.h"
#include "protocol/protocol.h"
#include "protocol/status_names.h"

using kormelt::PortClose;
using kormelt::PortOpen;
using kormelt::PortReadByte;
using kormelt::PortRecord;
using kormelt::PortWrite;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t ECHO_PORT = 3;
constexpr uint32_t SHORT_TIMEOUT_MS = 250;
// Far above any scheduling delay; only catches a read that hangs on.
constexpr ULONGLONG TIMEOUT_SLACK_MS = 2000;

class Com3Test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(PortOpen(&port, ECHO_PORT), STATUS_OK);
        ASSERT_NE(port, nullptr);
    }
    void TearDown() override {
        if (port != nullptr) {
            EXPECT_EQ(PortClose(port), STATUS_OK);
        }
    }

    PortRecord *port = nullptr;
};

TEST_F(Com3Test, EveryByteValueComesBackUnchanged) {
    // XON/XOFF, CR, LF, NUL and the frame bytes included: the line is binary
    // with no flow control.
    Bytes sent(256);
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<uint8_t>(i);
    }
    size_t written = 0;
    ASSERT_TRUE(PortWrite(port, sent.data(), sent.size(), &written));
    ASSERT_EQ(written, sent.size());
    Bytes echoed;
    for (size_t i = 0; i < sent.size(); ++i) {
        uint8_t received = 0;
        ASSERT_EQ(PortReadByte(port, &received, kormelt::REPLY_TIMEOUT_MS), STATUS_OK) << "byte " << i;
        echoed.push_back(received);
    }
    EXPECT_EQ(echoed, sent);
}

TEST_F(Com3Test, EchoedFrameIsReceivedAsAReply) {
    // The echo turns the request into a reply that carries the same payload.
    Bytes payload = {0x03, 0x00, 0x00, 0x00};
    for (int i = 0; i < 128; ++i) {
        payload.push_back(static_cast<uint8_t>(i % 2 == 0 ? 0x7E : 0xFD));
    }
    payload.push_back(0x7D);
    uint8_t reply[256] = {};
    int32_t reply_length = -1;
    ASSERT_EQ(kormelt::FrameExchange(port, payload.data(), payload.size(), reply, sizeof reply, &reply_length),
              STATUS_OK);
    ASSERT_EQ(reply_length, static_cast<int32_t>(payload.size()));
    EXPECT_EQ(Bytes(reply, reply + reply_length), payload);
}

TEST_F(Com3Test, SilentLineGives14NoSoonerThanTheTimeout) {
    uint8_t received = 0;
    // Same clock as the port's own deadline, read before the port reads it.
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(PortReadByte(port, &received, SHORT_TIMEOUT_MS), STATUS_TIMEOUT);
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_GE(elapsed, SHORT_TIMEOUT_MS);
    EXPECT_LT(elapsed, SHORT_TIMEOUT_MS + TIMEOUT_SLACK_MS);
}

TEST_F(Com3Test, PortOpensAgainAfterClose) {
    ASSERT_EQ(PortClose(port), STATUS_OK);
    port = nullptr;
    ASSERT_EQ(PortOpen(&port, ECHO_PORT), STATUS_OK);
    const uint8_t byte_out = 0x5A;
    size_t written = 0;
    ASSERT_TRUE(PortWrite(port, &byte_out, 1, &written));
    uint8_t byte_in = 0;
    ASSERT_EQ(PortReadByte(port, &byte_in, kormelt::REPLY_TIMEOUT_MS), STATUS_OK);
    EXPECT_EQ(byte_in, byte_out);
}

TEST(Com3PrefixTest, PortWithoutADeviceGives2) {
    PortRecord *port = nullptr;
    EXPECT_EQ(PortOpen(&port, 64), STATUS_PORT_OPEN);
    EXPECT_EQ(port, nullptr);
}

TEST(Com3PrefixTest, OnlyCom3OfTheSearchedPortsHasALine) {
    // Wine still lists the others as devices, so their open gets past
    // CreateFileA and fails at a later step; which one is Wine's business.
    for (uint32_t n : {1u, 2u, 4u, 5u, 6u, 7u}) {
        PortRecord *port = nullptr;
        EXPECT_NE(PortOpen(&port, n), STATUS_OK) << "COM" << n;
        EXPECT_EQ(port, nullptr) << "COM" << n;
    }
}

}  // namespace
