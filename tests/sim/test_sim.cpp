// The simulator seen from the host's end of the pseudo-terminal, with plain
// reads and writes on the slave.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "protocol/crc16.h"
#include "protocol/frame_codec.h"
#include "tests/support/sim_process.h"

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int REPLY_WAIT_MS = 2000;    // a reply that comes at all comes well within this
constexpr int SILENCE_WAIT_MS = 300;   // long enough to tell "no reply" from a late one
constexpr double LINE_BYTES_PER_SECOND = 1920.0;

const Bytes IDENTIFY_FRAME = {0x7E, 0x00, 0xBE, 0xA0, 0x7E};
const Bytes RESTART_FRAME = {0x7E, 0x01, 0xAE, 0x81, 0x7E};
const Bytes ERASE_11_FRAME = {0x7E, 0x02, 0x0B, 0x31, 0x1C, 0x7E};

Bytes Frame(const Bytes &payload) {
    Bytes out(kormelt::FRAME_TX_CAPACITY);
    out.resize(kormelt::FrameEncode(payload.data(), payload.size(), out.data(), out.size()));
    return out;
}

Bytes ProgramPayload(uint32_t address, const Bytes &data) {
    // Built byte by byte: GCC 12 warns falsely on inserting a range after a
    // braced initializer at -O2.
    Bytes payload;
    payload.reserve(5 + data.size());
    payload.push_back(0x03);
    for (int shift = 0; shift < 32; shift += 8) {
        payload.push_back(static_cast<uint8_t>(address >> shift));
    }
    for (uint8_t b : data) {
        payload.push_back(b);
    }
    return payload;
}

Bytes IdentifyPayload(const std::string &text) {
    Bytes payload;
    payload.reserve(2 + text.size());
    payload.push_back(0x01);
    payload.push_back(0x00);
    for (char c : text) {
        payload.push_back(static_cast<uint8_t>(c));
    }
    return payload;
}

// A reply as the host's receiver sees it.
struct Reply {
    bool complete = false;  // a frame of three or more decoded bytes closed
    Bytes decoded;          // CRC included
    Bytes raw;              // every byte read up to the closing flag
    bool CrcOk() const { return kormelt::CrcBlock(decoded.data(), decoded.size()) == 0; }
    Bytes Payload() const { return decoded.size() < 2 ? Bytes{} : Bytes(decoded.begin(), decoded.end() - 2); }
};

// The host's end of the line: the slave, raw, non-blocking.
class HostLine {
public:
    explicit HostLine(const std::string &path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio{};
        if (fd_ < 0 || tcgetattr(fd_, &tio) != 0) {
            return;
        }
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        if (tcsetattr(fd_, TCSANOW, &tio) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~HostLine() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    HostLine(const HostLine &) = delete;
    HostLine &operator=(const HostLine &) = delete;

    bool ok() const { return fd_ >= 0; }

    bool Write(const Bytes &bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EAGAIN) {
                pollfd pfd = {fd_, POLLOUT, 0};
                poll(&pfd, 1, REPLY_WAIT_MS);
                continue;
            }
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // One byte within timeout_ms; false on silence or a hang-up.
    bool ReadByte(uint8_t *byte, int timeout_ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const ssize_t n = read(fd_, byte, 1);
            if (n == 1) {
                return true;
            }
            if (n < 0 && errno != EAGAIN) {
                return false;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd pfd = {fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count()) + 1) <= 0 ||
                (pfd.revents & POLLIN) == 0) {
                return false;
            }
        }
    }

    // Reads as the host's receiver does: hunts for a flag, unstuffs, drops
    // frames of one or two bytes (their closing flag opens nothing) and
    // ends at the first longer frame.
    Reply ReadReply(int timeout_ms = REPLY_WAIT_MS) {
        Reply reply;
        enum { Hunting, InFrame, Escaped } state = Hunting;
        uint8_t byte = 0;
        while (ReadByte(&byte, timeout_ms)) {
            reply.raw.push_back(byte);
            if (state == Hunting) {
                state = byte == kormelt::FRAME_FLAG ? InFrame : Hunting;
            } else if (state == InFrame && byte == kormelt::FRAME_FLAG) {
                if (reply.decoded.size() >= 3) {
                    reply.complete = true;
                    return reply;
                }
                if (!reply.decoded.empty()) {
                    reply.decoded.clear();
                    state = Hunting;
                }
            } else if (state == InFrame && byte == kormelt::FRAME_ESCAPE) {
                state = Escaped;
            } else {
                reply.decoded.push_back(state == Escaped ? static_cast<uint8_t>(byte ^ kormelt::FRAME_ESCAPE_XOR) : byte);
                state = InFrame;
            }
        }
        return reply;
    }

    // Write, then ReadReply; an incomplete reply when the write fails.
    Reply Exchange(const Bytes &frame, int timeout_ms = REPLY_WAIT_MS) {
        return Write(frame) ? ReadReply(timeout_ms) : Reply{};
    }

    // True when the line hangs up (a read ends in error or end of file, or
    // poll reports POLLHUP) within timeout_ms. Data still queued is skipped.
    bool HangsUp(int timeout_ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < deadline) {
            pollfd pfd = {fd_, POLLIN, 0};
            if (poll(&pfd, 1, 10) > 0) {
                if ((pfd.revents & (POLLHUP | POLLERR)) != 0) {
                    return true;
                }
                uint8_t byte = 0;
                const ssize_t n = read(fd_, &byte, 1);
                if (n == 0 || (n < 0 && errno != EAGAIN)) {
                    return true;
                }
            }
        }
        return false;
    }

private:
    int fd_ = -1;
};

double WireMs(size_t bytes) { return 1000.0 * static_cast<double>(bytes) / LINE_BYTES_PER_SECOND; }

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A path for --link in a directory of the test's own; both go with the object.
class LinkPlace {
public:
    LinkPlace() {
        std::string templ = "/tmp/kormelt-sim-test-XXXXXX";
        if (mkdtemp(templ.data()) != nullptr) {
            dir_ = templ;
            path_ = dir_ + "/com3";
        }
    }
    ~LinkPlace() {
        if (!dir_.empty()) {
            unlink(path_.c_str());  // usually gone already
            rmdir(dir_.c_str());
        }
    }
    LinkPlace(const LinkPlace &) = delete;
    LinkPlace &operator=(const LinkPlace &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
};

bool LinkExists(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// A simulator with the host's end of its line open.
struct Bench {
    explicit Bench(const std::vector<std::string> &options = {}) : sim(options), line(sim.path()) {}
    bool ok() const { return sim.ok() && line.ok(); }  // sim.error() tells why not
    SimProcess sim;
    HostLine line;
};

TEST(SimIdentify, AnswersWithTheIdentityItWasGiven) {
    struct Case {
        std::vector<std::string> options;
        Bytes payload;
    };
    const Case cases[] = {
        {{}, IdentifyPayload("kormelt")},
        {{"--id-length", "8"}, IdentifyPayload("kormel")},
        {{"--id-length", "10"}, IdentifyPayload(std::string("kormelt\0", 8))},
        {{"--id", "kormelx"}, IdentifyPayload("kormelx")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options.empty() ? "default" : c.options[0] + " " + c.options[1]);
        Bench bench(c.options);
        ASSERT_TRUE(bench.ok()) << bench.sim.error();
        const Reply reply = bench.line.Exchange(IDENTIFY_FRAME);
        ASSERT_TRUE(reply.complete);
        EXPECT_TRUE(reply.CrcOk());
        EXPECT_EQ(reply.Payload(), c.payload);
    }
}

TEST(SimRequests, LogAndDumpFollowTheRequestsByteForByte) {
    Bench bench;
    ASSERT_TRUE(bench.ok()) << bench.sim.error();

    // Data with flag and escape bytes in it, so the request is stuffed.
    Bytes data_a(128), data_b(128);
    for (size_t i = 0; i < 128; ++i) {
        data_a[i] = static_cast<uint8_t>(0x7E + i);
        data_b[i] = static_cast<uint8_t>(0xFD - i);
    }
    const Bytes program_a = ProgramPayload(0x80, data_a);
    const Bytes program_b = ProgramPayload(0x200, data_b);
    Bytes bad_crc = IDENTIFY_FRAME;
    bad_crc[3] ^= 0x01;

    struct Step {
        Bytes frame;
        Bytes reply;  // empty: none
    };
    const Step steps[] = {
        {IDENTIFY_FRAME, IdentifyPayload("kormelt")},
        {ERASE_11_FRAME, {0x02, 0x00}},
        {Frame(program_a), {0x03, 0x00}},
        {bad_crc, {}},
        {Frame(program_b), {0x03, 0x00}},
        {Frame({0x09, 0x01}), {0x09, 0x01}},
        {RESTART_FRAME, {0x01, 0x00}},
    };
    for (const Step &step : steps) {
        const Reply reply = bench.line.Exchange(step.frame, step.reply.empty() ? SILENCE_WAIT_MS : REPLY_WAIT_MS);
        if (step.reply.empty()) {
            EXPECT_TRUE(reply.raw.empty());
        } else {
            ASSERT_TRUE(reply.complete);
            EXPECT_TRUE(reply.CrcOk());
            EXPECT_EQ(reply.Payload(), step.reply);
        }
    }

    const std::vector<SimLogEntry> log = bench.sim.Log(7);
    ASSERT_EQ(log.size(), 7u);
    const std::vector<std::string> kinds = {"identify", "erase",   "program", "bad-crc",
                                            "program",  "unknown", "restart"};
    const std::vector<std::optional<uint32_t>> blocks = {{}, 11, {}, {}, {}, {}, {}};
    const std::vector<std::optional<uint32_t>> addresses = {{}, {}, 0x80, {}, 0x200, {}, {}};
    const std::vector<Bytes> bytes = {{0x00}, {0x02, 0x0B}, program_a, {0x00, 0xBE, 0xA1}, program_b, {0x09, 0x01},
                                      {0x01}};
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE("log line " + std::to_string(i + 1));
        EXPECT_EQ(log[i].kind, kinds[i]);
        EXPECT_EQ(log[i].number, i + 1);
        EXPECT_EQ(log[i].block, blocks[i]);
        EXPECT_EQ(log[i].address, addresses[i]);
        EXPECT_EQ(log[i].bytes, bytes[i]);
    }

    // Programmed bytes from address 0 to the end of the last one, holes 0xFF.
    Bytes expected(0x280, 0xFF);
    std::copy(data_a.begin(), data_a.end(), expected.begin() + 0x80);
    std::copy(data_b.begin(), data_b.end(), expected.begin() + 0x200);
    EXPECT_EQ(bench.sim.Dump(), expected);
    EXPECT_EQ(bench.sim.Stop(), 0);
    EXPECT_EQ(bench.sim.Dump(), expected);
}

TEST(SimRequests, NothingProgrammedDumpsAnEmptyFile) {
    SimProcess sim;
    ASSERT_TRUE(sim.ok()) << sim.error();
    EXPECT_EQ(sim.Stop(), 0);
    struct stat info {};
    ASSERT_EQ(stat(sim.dump_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
}

TEST(SimFaults, SilentFromKStillLogsButNeitherActsNorAnswers) {
    Bench bench({"--silent-from", "2"});
    ASSERT_TRUE(bench.ok()) << bench.sim.error();
    EXPECT_TRUE(bench.line.Exchange(IDENTIFY_FRAME).complete);
    EXPECT_TRUE(bench.line.Exchange(Frame(ProgramPayload(0, Bytes(128, 0x11))), SILENCE_WAIT_MS).raw.empty());
    EXPECT_TRUE(bench.line.Exchange(IDENTIFY_FRAME, SILENCE_WAIT_MS).raw.empty());
    EXPECT_EQ(bench.sim.Log(3).size(), 3u);
    EXPECT_TRUE(bench.sim.Dump().empty());
}

TEST(SimFaults, BadCrcAtKSpoilsOnlyThatReply) {
    Bench bench({"--bad-crc-at", "2"});
    ASSERT_TRUE(bench.ok()) << bench.sim.error();
    for (int k = 1; k <= 3; ++k) {
        SCOPED_TRACE("request " + std::to_string(k));
        const Reply reply = bench.line.Exchange(IDENTIFY_FRAME);
        ASSERT_TRUE(reply.complete);
        ASSERT_EQ(reply.decoded.size(), 11u);
        EXPECT_EQ(reply.CrcOk(), k != 2);
        EXPECT_EQ(Bytes(reply.decoded.begin(), reply.decoded.begin() + 9), IdentifyPayload("kormelt"));
    }
}

TEST(SimFaults, OversizeAtKSendsAGoodFrameOfMoreThan256Bytes) {
    Bench bench({"--oversize-at", "1"});
    ASSERT_TRUE(bench.ok()) << bench.sim.error();
    const Reply reply = bench.line.Exchange(IDENTIFY_FRAME);
    ASSERT_TRUE(reply.complete);
    EXPECT_TRUE(reply.CrcOk());
    EXPECT_GT(reply.Payload().size(), 256u);
}

TEST(SimFaults, NoiseAndShortFramesComeBeforeAnIntactReply) {
    struct Case {
        std::vector<std::string> options;
        bool noise;
        bool short_frames;
    };
    const Case cases[] = {
        {{"--noise"}, true, false},
        {{"--short-frames"}, false, true},
        {{"--noise", "--short-frames"}, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options.size() == 2 ? "both" : c.options[0]);
        Bench bench(c.options);
        ASSERT_TRUE(bench.ok()) << bench.sim.error();
        for (int k = 1; k <= 2; ++k) {
            const Reply reply = bench.line.Exchange(IDENTIFY_FRAME);
            ASSERT_TRUE(reply.complete);
            EXPECT_TRUE(reply.CrcOk());
            EXPECT_EQ(reply.Payload(), IdentifyPayload("kormelt"));

            const auto first_flag = std::find(reply.raw.begin(), reply.raw.end(), 0x7E);
            EXPECT_EQ(first_flag != reply.raw.begin(), c.noise);
            // The first body between flags is short: one or two bytes.
            const auto body_end = std::find(first_flag + 1, reply.raw.end(), 0x7E);
            EXPECT_EQ(body_end - (first_flag + 1) <= 2, c.short_frames);
        }
    }
}

TEST(SimFaults, BabbleAtKRunsUntilTheNextRequest) {
    constexpr size_t BABBLE_SEEN_BYTES = 5000;  // more than any reply could hold
    Bench bench({"--babble-at", "1"});
    ASSERT_TRUE(bench.ok()) << bench.sim.error();
    ASSERT_TRUE(bench.line.Write(IDENTIFY_FRAME));
    uint8_t byte = 0;
    ASSERT_TRUE(bench.line.ReadByte(&byte, REPLY_WAIT_MS));
    EXPECT_EQ(byte, 0x7E);
    size_t flags = 0;
    for (size_t i = 0; i < BABBLE_SEEN_BYTES; ++i) {
        ASSERT_TRUE(bench.line.ReadByte(&byte, REPLY_WAIT_MS)) << "after " << i << " bytes";
        flags += byte == 0x7E ? 1 : 0;
    }
    EXPECT_EQ(flags, 0u);

    const Reply reply = bench.line.Exchange(IDENTIFY_FRAME);
    ASSERT_TRUE(reply.complete);
    EXPECT_TRUE(reply.CrcOk());
    EXPECT_EQ(reply.Payload(), IdentifyPayload("kormelt"));
    // Babble stopped: nothing follows the reply.
    EXPECT_FALSE(bench.line.ReadByte(&byte, SILENCE_WAIT_MS));
}

TEST(SimFaults, HangupAtKClosesTheLineAndTheSimulatorWaitsToBeStopped) {
    LinkPlace link;
    ASSERT_FALSE(link.path().empty());
    Bench bench({"--hangup-at", "2", "--link", link.path()});
    ASSERT_TRUE(bench.ok()) << bench.sim.error();
    EXPECT_TRUE(bench.line.Exchange(IDENTIFY_FRAME).complete);
    ASSERT_TRUE(bench.line.Write(IDENTIFY_FRAME));
    EXPECT_TRUE(bench.line.HangsUp(REPLY_WAIT_MS));
    EXPECT_EQ(bench.sim.Log(2).size(), 2u);
    EXPECT_FALSE(LinkExists(link.path()));
    EXPECT_FALSE(bench.sim.WaitExit(SILENCE_WAIT_MS));
    EXPECT_EQ(bench.sim.Stop(), 0);
}

// Lower bounds only, from the bytes that crossed the line; the upper bound
// merely catches a simulator that hangs.
TEST(SimTiming, RepliesTakeTheirTimeOnTheLine) {
    struct Case {
        std::vector<std::string> options;
        Bytes request;
        bool request_paced;     // the request's own bytes count too
        double reply_byte_ms;   // per reply byte after the first
        double reply_first_ms;  // for the first reply byte
    };
    const double byte_ms = WireMs(1);
    const Case cases[] = {
        // A long request: the reply waits for its wire time.
        {{"--paced"}, Frame(ProgramPayload(0, Bytes(128, 0x42))), true, byte_ms, byte_ms},
        // A long reply: its bytes come at line rate.
        {{"--paced", "--oversize-at", "1"}, IDENTIFY_FRAME, true, byte_ms, byte_ms},
        // Staying awake changes when the simulator looks, never the pace.
        {{"--paced", "--spin"}, Frame(ProgramPayload(0, Bytes(128, 0x42))), true, byte_ms, byte_ms},
        {{"--byte-pause-ms", "10"}, IDENTIFY_FRAME, false, 10.0, 0.0},
        // An adapter's latency timer holds the whole short reply, and counts
        // from the request's last byte, after its wire time on a paced line.
        {{"--latency-ms", "40"}, IDENTIFY_FRAME, false, 0.0, 40.0},
        {{"--paced", "--latency-ms", "40"}, Frame(ProgramPayload(0, Bytes(128, 0x42))), true, 0.0, 40.0},
    };
    for (const Case &c : cases) {
        std::string trace;
        for (const std::string &option : c.options) {
            trace += (trace.empty() ? "" : " ") + option;
        }
        SCOPED_TRACE(trace);
        Bench bench(c.options);
        ASSERT_TRUE(bench.ok()) << bench.sim.error();
        const Clock::time_point start = Clock::now();
        const Reply reply = bench.line.Exchange(c.request);
        const double elapsed_ms = MsSince(start);
        ASSERT_TRUE(reply.complete);
        const double least_ms = (c.request_paced ? WireMs(c.request.size()) : 0.0) + c.reply_first_ms +
                                c.reply_byte_ms * static_cast<double>(reply.raw.size() - 1);
        EXPECT_GE(elapsed_ms, least_ms - 0.001);  // the simulator's deadlines are whole nanoseconds
        EXPECT_LT(elapsed_ms, least_ms + 2000.0);
    }
}

TEST(SimLine, LinkLeadsToTheSlaveAcrossReopensAndGoesAtExit) {
    constexpr int REOPENS = 5;
    LinkPlace link;
    ASSERT_FALSE(link.path().empty());
    FILE *stale = std::fopen(link.path().c_str(), "w");  // whatever is there is replaced
    ASSERT_NE(stale, nullptr);
    std::fclose(stale);

    SimProcess sim({"--link", link.path()});
    ASSERT_TRUE(sim.ok()) << sim.error();
    char target[256] = {};
    ASSERT_GT(readlink(link.path().c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), sim.path());
    for (int i = 0; i < REOPENS; ++i) {
        SCOPED_TRACE("open " + std::to_string(i + 1));
        HostLine line(link.path());
        ASSERT_TRUE(line.ok());
        const Reply reply = line.Exchange(IDENTIFY_FRAME);
        ASSERT_TRUE(reply.complete);
        EXPECT_EQ(reply.Payload(), IdentifyPayload("kormelt"));
    }
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(LinkExists(link.path()));
}

TEST(SimLine, QuitAfterRestartEndsOnceTheReplyIsRead) {
    Bench bench({"--quit-after-restart"});
    ASSERT_TRUE(bench.ok()) << bench.sim.error();
    EXPECT_TRUE(bench.line.Exchange(IDENTIFY_FRAME).complete);
    EXPECT_FALSE(bench.sim.WaitExit(SILENCE_WAIT_MS));
    const Reply reply = bench.line.Exchange(RESTART_FRAME);
    ASSERT_TRUE(reply.complete);
    EXPECT_EQ(reply.Payload(), Bytes({0x01, 0x00}));
    EXPECT_TRUE(bench.sim.WaitExit(REPLY_WAIT_MS));
    EXPECT_EQ(bench.sim.Stop(), 0);
}

}  // namespace
