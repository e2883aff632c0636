// The simulator's fault plan without a line: which request gets which fault,
// and the bytes that go out for a reply.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/crc16.h"
#include "tools/sim/fault_plan.h"

using kormelt::sim::FaultOptions;
using kormelt::sim::FaultPlan;
using Bytes = std::vector<uint8_t>;

namespace {

// Undoes the framing of one frame, flags at both ends (independently of the
// codec under test); empty when the bytes are no single well-formed frame.
Bytes Unframe(const Bytes &frame) {
    if (frame.size() < 2 || frame.front() != 0x7E || frame.back() != 0x7E) {
        return {};
    }
    Bytes body;
    for (size_t i = 1; i + 1 < frame.size(); ++i) {
        if (frame[i] == 0x7E) {
            return {};
        }
        if (frame[i] == 0xFD) {
            if (++i + 1 >= frame.size()) {
                return {};
            }
            body.push_back(static_cast<uint8_t>(frame[i] ^ 0x20));
        } else {
            body.push_back(frame[i]);
        }
    }
    return body;
}

TEST(SimFaultPlan, NamesTheRequestsItSpoils) {
    FaultOptions options;
    options.silent_from = 5;
    options.babble_at = 2;
    options.hangup_at = 3;
    const FaultPlan plan(options);
    for (uint32_t k = 1; k <= 8; ++k) {
        SCOPED_TRACE("request " + std::to_string(k));
        EXPECT_EQ(plan.SilentAt(k), k >= 5);
        EXPECT_EQ(plan.BabblesAt(k), k == 2);
        EXPECT_EQ(plan.HangsUpAt(k), k == 3);
    }
    const FaultPlan none(FaultOptions{});
    for (uint32_t k = 0; k <= 3; ++k) {
        EXPECT_FALSE(none.SilentAt(k) || none.BabblesAt(k) || none.HangsUpAt(k)) << k;
    }
}

TEST(SimFaultPlan, LeadInHoldsNoiseThenShortFrames) {
    struct Case {
        bool noise;
        bool short_frames;
        Bytes lead_in;
    };
    const Bytes noise = {0x00, 0x55, 0xAA, 0xFF, 0xFD, 0x5E, 0x11, 0x13};
    const Bytes short_frames = {0x7E, 0x11, 0x7E, 0x7E, 0x22, 0x33, 0x7E};
    Bytes both = noise;
    both.insert(both.end(), short_frames.begin(), short_frames.end());
    const Case cases[] = {
        {false, false, {}},
        {true, false, noise},
        {false, true, short_frames},
        {true, true, both},
    };
    for (const Case &c : cases) {
        FaultOptions options;
        options.noise = c.noise;
        options.short_frames = c.short_frames;
        EXPECT_EQ(FaultPlan(options).LeadIn(), c.lead_in) << c.noise << c.short_frames;
    }
}

TEST(SimFaultPlan, ReplyFramesAreGoodExceptWherePlanned) {
    FaultOptions options;
    options.bad_crc_at = 2;
    options.oversize_at = 3;
    const FaultPlan plan(options);
    const Bytes reply = {0x02, 0x00};
    const Bytes good = {0x7E, 0x02, 0x00, 0x80, 0x77, 0x7E};

    EXPECT_EQ(plan.ReplyFrame(1, reply), good);

    const Bytes bad = Unframe(plan.ReplyFrame(2, reply));
    ASSERT_EQ(bad.size(), 4u);
    EXPECT_EQ(Bytes(bad.begin(), bad.begin() + 2), reply);
    EXPECT_NE(kormelt::CrcBlock(bad.data(), bad.size()), 0);

    const Bytes oversize = Unframe(plan.ReplyFrame(3, reply));
    ASSERT_EQ(oversize.size(), kormelt::sim::OVERSIZE_REPLY_BYTES + 2);
    EXPECT_EQ(kormelt::CrcBlock(oversize.data(), oversize.size()), 0);
    for (size_t i = 0; i < kormelt::sim::OVERSIZE_REPLY_BYTES; ++i) {
        ASSERT_EQ(oversize[i], static_cast<uint8_t>(i)) << i;
    }

    EXPECT_TRUE(plan.ReplyFrame(1, Bytes(1000, 0x7E)).empty()) << "a payload too long for any frame";
}

TEST(SimFaultPlan, SpoiledCrcStaysAWellFormedFrameWhateverItsBytes) {
    // Replies whose CRC bytes need stuffing, high or low: spoiling the CRC
    // must leave one frame of the same decoded length that fails its test.
    FaultOptions options;
    options.bad_crc_at = 1;
    const FaultPlan plan(options);
    int stuffed = 0;
    for (unsigned v = 0; v < 0x10000; ++v) {
        const Bytes reply = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        const uint16_t crc = kormelt::CrcBlock(reply.data(), reply.size());
        const auto needs_stuffing = [](uint8_t b) { return b == 0x7E || b == 0xFD; };
        if (!needs_stuffing(static_cast<uint8_t>(crc >> 8)) && !needs_stuffing(static_cast<uint8_t>(crc))) {
            continue;
        }
        ++stuffed;
        const Bytes body = Unframe(plan.ReplyFrame(1, reply));
        ASSERT_EQ(body.size(), 4u) << v;
        EXPECT_EQ(Bytes(body.begin(), body.begin() + 2), reply) << v;
        EXPECT_NE(kormelt::CrcBlock(body.data(), body.size()), 0) << v;
    }
    EXPECT_GT(stuffed, 0);
}

}  // namespace
