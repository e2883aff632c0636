// The line's timing, told the time by the test: no sleeping, exact figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "protocol/protocol.h"
#include "tools/sim/transmitter.h"

namespace {

using kormelt::sim::Pacing;
using kormelt::sim::ReceivePacer;
using kormelt::sim::Transmitter;
using kormelt::sim::WireNs;

constexpr int64_t NS_PER_SECOND = 1000000000;
constexpr int64_t NS_PER_MS = 1000000;
const int64_t BYTE_NS = WireNs(1);  // one byte's wire time at the line rate

size_t DueAt(Transmitter &tx, int64_t now_ns) {
    const uint8_t *bytes = nullptr;
    return tx.Due(now_ns, &bytes);
}

TEST(SimPacing, WireTimeFollowsTheLineRateWithoutDrift) {
    EXPECT_EQ(WireNs(0), 0);
    EXPECT_EQ(WireNs(kormelt::LINE_BYTES_PER_SECOND), NS_PER_SECOND);
    // Counted from the run's start: a million bytes are not a million
    // rounded byte times.
    EXPECT_EQ(WireNs(uint64_t{1000} * kormelt::LINE_BYTES_PER_SECOND), 1000 * NS_PER_SECOND);
    EXPECT_NE(WireNs(7), 7 * BYTE_NS);
}

TEST(SimPacing, AnUntimedLineSendsEverythingAtOnce) {
    Transmitter tx(Pacing{});
    tx.Queue({1, 2, 3}, 0);
    const uint8_t *bytes = nullptr;
    ASSERT_EQ(tx.Due(0, &bytes), 3u);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 3), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(tx.NextDeadline().has_value());
    tx.Sent(3);
    EXPECT_TRUE(tx.Idle());
    EXPECT_EQ(DueAt(tx, 0), 0u);
}

TEST(SimPacing, APacedReplyLeavesAByteAtATimeFromItsStart) {
    Transmitter tx(Pacing{true, 0});
    const int64_t start = 5 * NS_PER_MS;
    tx.Queue({1, 2, 3}, start);
    EXPECT_EQ(DueAt(tx, start), 0u);
    ASSERT_EQ(tx.NextDeadline(), start + WireNs(1));
    EXPECT_EQ(DueAt(tx, start + WireNs(1) - 1), 0u);
    EXPECT_EQ(DueAt(tx, start + WireNs(1)), 1u);
    EXPECT_EQ(DueAt(tx, start + WireNs(3)), 3u);  // late: all that are due at once
    tx.Sent(2);
    EXPECT_EQ(tx.NextDeadline(), start + WireNs(3));
    EXPECT_EQ(DueAt(tx, start + WireNs(3)), 1u);
    tx.Sent(1);
    EXPECT_TRUE(tx.Idle());
    EXPECT_FALSE(tx.NextDeadline().has_value());
}

TEST(SimPacing, AReplyQueuedWhileTheLineIsBusyWaitsForItsLastByte) {
    Transmitter tx(Pacing{true, 0});
    tx.Queue({1, 2}, 0);
    tx.Sent(DueAt(tx, WireNs(2)));
    // The second byte is sent early in the test's time, but its wire time
    // runs until WireNs(2): a reply due before then follows it on the line.
    tx.Queue({3}, WireNs(1));
    EXPECT_EQ(tx.NextDeadline(), WireNs(3));
    // Once the line is idle, a new reply starts a run of its own.
    tx.Sent(DueAt(tx, WireNs(3)));
    const int64_t later = WireNs(3) + 10 * NS_PER_MS;
    tx.Queue({4}, later);
    EXPECT_EQ(tx.NextDeadline(), later + WireNs(1));
}

TEST(SimPacing, APauseAfterEachByteAddsUp) {
    Transmitter tx(Pacing{false, 2});
    tx.Queue({1, 2, 3}, 0);
    EXPECT_EQ(DueAt(tx, 0), 1u);  // unpaced: the first byte at once
    EXPECT_EQ(DueAt(tx, 2 * NS_PER_MS - 1), 1u);
    EXPECT_EQ(DueAt(tx, 4 * NS_PER_MS), 3u);

    Transmitter paced(Pacing{true, 2});
    paced.Queue({1, 2}, 0);
    EXPECT_EQ(paced.NextDeadline(), WireNs(1));
    paced.Sent(DueAt(paced, WireNs(1)));
    EXPECT_EQ(paced.NextDeadline(), WireNs(2) + 2 * NS_PER_MS);
}

TEST(SimPacing, ALatencyHoldsEveryReplyByteUntilItRunsOut) {
    constexpr uint32_t LATENCY_MS = 16;
    const int64_t latency_ns = LATENCY_MS * NS_PER_MS;
    const int64_t start = 3 * NS_PER_MS;
    // A reply of 40 bytes takes about 21 ms on the wire: its first bytes
    // wait for the hold, its last ones for their wire time.
    const size_t long_reply = 40;
    ASSERT_GT(WireNs(long_reply), latency_ns);
    struct Case {
        const char *name;
        bool paced;
        size_t reply_bytes;
    };
    const Case cases[] = {
        {"unpaced", false, 6},
        {"paced, a short reply", true, 6},
        {"paced, a reply longer than the hold", true, long_reply},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Transmitter tx(Pacing{c.paced, 0, LATENCY_MS});
        tx.Queue(std::vector<uint8_t>(c.reply_bytes, 0x42), start);
        EXPECT_EQ(tx.NextDeadline(), start + latency_ns);
        EXPECT_EQ(DueAt(tx, start + latency_ns - 1), 0u);
        // What came through the line during the hold leaves with its end.
        size_t through = 0;
        while (through < c.reply_bytes && (!c.paced || WireNs(through + 1) <= latency_ns)) {
            ++through;
        }
        EXPECT_EQ(DueAt(tx, start + latency_ns), through);
        for (size_t i = 0; i < c.reply_bytes; ++i) {
            const int64_t wire = c.paced ? start + WireNs(i + 1) : start;
            const int64_t leaves = std::max(wire, start + latency_ns);
            ASSERT_EQ(tx.NextDeadline(), leaves) << "byte " << i;
            ASSERT_EQ(DueAt(tx, leaves - 1), 0u) << "byte " << i;
            ASSERT_GE(DueAt(tx, leaves), 1u) << "byte " << i;
            tx.Sent(1);
        }
        EXPECT_TRUE(tx.Idle());
    }
}

TEST(SimPacing, EachReplyIsHeldFromItsOwnStart) {
    Transmitter tx(Pacing{false, 0, 10});
    tx.Queue({1}, 0);
    tx.Queue({2, 3}, 4 * NS_PER_MS);  // queued while the first is still held
    EXPECT_EQ(DueAt(tx, 10 * NS_PER_MS - 1), 0u);
    EXPECT_EQ(DueAt(tx, 10 * NS_PER_MS), 1u);
    EXPECT_EQ(DueAt(tx, 14 * NS_PER_MS - 1), 1u);
    tx.Sent(1);
    EXPECT_EQ(tx.NextDeadline(), 14 * NS_PER_MS);
    EXPECT_EQ(DueAt(tx, 14 * NS_PER_MS), 2u);
    tx.Sent(2);
    EXPECT_TRUE(tx.Idle());
    // The next reply starts a hold of its own.
    tx.Queue({4}, 30 * NS_PER_MS);
    EXPECT_EQ(tx.NextDeadline(), 40 * NS_PER_MS);
    EXPECT_EQ(DueAt(tx, 40 * NS_PER_MS - 1), 0u);
}

TEST(SimPacing, BabbleFollowsTheReplyUntilStoppedAndClearDropsEverything) {
    Transmitter tx(Pacing{});
    tx.Queue({0x7E}, 0);
    tx.StartBabble(0x55);
    const uint8_t *bytes = nullptr;
    ASSERT_EQ(tx.Due(0, &bytes), 1u);
    EXPECT_EQ(bytes[0], 0x7E);
    tx.Sent(1);
    EXPECT_TRUE(tx.Drained());
    EXPECT_FALSE(tx.Idle());
    const size_t chunk = tx.Due(0, &bytes);
    ASSERT_GT(chunk, 0u);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + chunk), std::vector<uint8_t>(chunk, 0x55));
    tx.Sent(chunk / 2);
    tx.StopBabble();  // a request arrived: what was left of the babble is gone
    EXPECT_TRUE(tx.Idle());
    EXPECT_EQ(tx.Due(0, &bytes), 0u);

    tx.Queue({1, 2}, 0);
    tx.StartBabble(0x55);
    tx.Clear();
    EXPECT_TRUE(tx.Idle());
    EXPECT_EQ(tx.Due(0, &bytes), 0u);
}

TEST(SimPacing, ReceivedBytesAreThroughAfterTheirWireTime) {
    ReceivePacer unpaced(false);
    EXPECT_EQ(unpaced.Through(123), 123);

    ReceivePacer rx(true);
    // Three bytes read together at t = 1 ms went over the line one after
    // the other.
    const int64_t t = NS_PER_MS;
    EXPECT_EQ(rx.Through(t), t + WireNs(1));
    EXPECT_EQ(rx.Through(t), t + WireNs(2));
    EXPECT_EQ(rx.Through(t), t + WireNs(3));
    // A byte read while the line is still busy queues behind them.
    EXPECT_EQ(rx.Through(t + WireNs(2)), t + WireNs(4));
    // After a quiet spell a new run starts.
    const int64_t later = t + 50 * NS_PER_MS;
    EXPECT_EQ(rx.Through(later), later + WireNs(1));
}

}  // namespace
