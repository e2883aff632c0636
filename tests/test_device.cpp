#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/api.h"
#include "device/image_file.h"
#include "protocol/crc16.h"
#include "protocol/frame_codec.h"
#include "protocol/status_names.h"
#include "tests/support/bytes.h"
#include "tests/support/child_call.h"
#include "tests/support/fake_port.h"
#include "tests/support/not_regular.h"
#include "tests/support/temp_file.h"

using Bytes = std::vector<uint8_t>;

namespace {

// Far longer than any call on the in-memory line takes; a call still
// running then is blocked.
constexpr std::chrono::milliseconds CALL_LIMIT{5000};

Bytes Framed(const Bytes &payload) {
    Bytes out(kormelt::FRAME_TX_CAPACITY);
    out.resize(kormelt::FrameEncode(payload.data(), payload.size(), out.data(), out.size()));
    return out;
}

// Splits what the host wrote into request payloads (flags, stuffing and CRC
// removed); a request whose CRC is wrong is kept as an empty payload.
std::vector<Bytes> Requests(const Bytes &wire) {
    std::vector<Bytes> requests;
    Bytes body;
    bool in_frame = false;
    bool escaped = false;
    for (uint8_t b : wire) {
        if (b == kormelt::FRAME_FLAG) {
            if (in_frame && !body.empty()) {
                const bool good = body.size() >= 3 && kormelt::CrcBlock(body.data(), body.size()) == 0;
                requests.push_back(good ? Bytes(body.begin(), body.end() - 2) : Bytes{});
                body.clear();
            }
            in_frame = true;
        } else if (b == kormelt::FRAME_ESCAPE) {
            escaped = true;
        } else {
            body.push_back(escaped ? static_cast<uint8_t>(b ^ 0x20) : b);
            escaped = false;
        }
    }
    return requests;
}

// A device on an in-memory line: it answers each request with a reply frame
// until told to fall silent at request number silent_from (counted from 1).
struct Device {
    fake::Line line;
    Bytes identity{0x01, 0x00, 'k', 'o', 'r', 'm', 'e', 'l', 't'};
    size_t silent_from = 0;  // 0: never
    size_t bad_crc_at = 0;   // 0: never
    size_t requests = 0;

    Device() {
        line.on_write = [this](fake::Line &l, const uint8_t *bytes, size_t count) {
            ++requests;
            if (silent_from != 0 && requests >= silent_from) {
                return;
            }
            const std::vector<Bytes> got = Requests(Bytes(bytes, bytes + count));
            Bytes reply = got.size() == 1 && !got[0].empty() && got[0][0] == 0x00 ? identity : Bytes{0x06};
            Bytes frame = Framed(reply);
            if (requests == bad_crc_at) {
                frame[frame.size() - 2] ^= 0x01;
            }
            l.incoming.insert(l.incoming.end(), frame.begin(), frame.end());
        };
    }
    std::vector<Bytes> Received() const { return Requests(line.written); }
};

// Records the progress reports and cancels at a chosen one with a chosen
// nonzero answer.
struct Progress {
    static std::vector<int32_t> seen;
    static int32_t cancel_at;
    static int32_t answer;
    static int32_t KORMELT_CALL Callback(int32_t percent) {
        seen.push_back(percent);
        return percent == cancel_at ? answer : 0;
    }
    static void Reset(int32_t cancel = -1, int32_t cancel_answer = 1) {
        seen.clear();
        cancel_at = cancel;
        answer = cancel_answer;
    }
};
std::vector<int32_t> Progress::seen;
int32_t Progress::cancel_at = -1;
int32_t Progress::answer = 1;

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        Progress::Reset();
    }
    void TearDown() override {
        KORMELT_Close();
        EXPECT_EQ(fake::OpenRecords(), 0);
        fake::Reset();
    }
    // Device on COM3, nothing on the other ports; leaves the port open.
    void OpenOnCom3() {
        fake::Attach(3, &device.line);
        ASSERT_EQ(KORMELT_Open(nullptr), STATUS_OK);
        device.line.written.clear();
        device.requests = 0;
    }
    Device device;
};

Bytes ImageBytes(size_t size) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>(i * 13 + 7);
    }
    return data;
}

TEST_F(DeviceTest, OpenFindsTheDeviceOnCom3) {
    fake::Attach(3, &device.line);
    EXPECT_EQ(KORMELT_Open(&Progress::Callback), STATUS_OK);
    EXPECT_EQ(Progress::seen, (std::vector<int32_t>{0, 12, 24}));
    EXPECT_EQ(fake::OpenRecords(), 1);
    EXPECT_EQ(device.line.written, (Bytes{0x7E, 0x00, 0xBE, 0xA0, 0x7E}));
}

TEST_F(DeviceTest, OpenWithNoDeviceReportsEveryPortThen100) {
    Device silent;
    silent.silent_from = 1;
    fake::Attach(2, &silent.line);
    EXPECT_EQ(KORMELT_Open(&Progress::Callback), STATUS_NOT_FOUND);
    EXPECT_EQ(Progress::seen, (std::vector<int32_t>{0, 12, 24, 36, 48, 60, 72, 100}));
    EXPECT_EQ(fake::OpenRecords(), 0);
    EXPECT_EQ(fake::OpenedPorts(), std::vector<uint32_t>{2});
    // With no port open the flash calls refuse without touching anything.
    EXPECT_EQ(KORMELT_Erase(&Progress::Callback), STATUS_PORT_NOT_OPEN);
    EXPECT_EQ(KORMELT_Restart(), STATUS_PORT_NOT_OPEN);
}

TEST_F(DeviceTest, OpenSkipsPortsThatFailAndFindsTheNextDevice) {
    struct Case {
        const char *what;
        Bytes identity;
        int open_status;
        size_t bad_crc_at;
        bool silent;
    };
    const Case cases[] = {
        {"reply of 8 bytes", {0x01, 'k', 'o', 'r', 'm', 'e', 'l', 't'}, 0, 0, false},
        {"reply of 10 bytes", {0x01, 0x02, 'k', 'o', 'r', 'm', 'e', 'l', 't', 0x00}, 0, 0, false},
        {"wrong first letter", {0x01, 0x02, 'K', 'o', 'r', 'm', 'e', 'l', 't'}, 0, 0, false},
        {"wrong last letter", {0x01, 0x02, 'k', 'o', 'r', 'm', 'e', 'l', 'T'}, 0, 0, false},
        {"bad reply crc", {0x01, 0x02, 'k', 'o', 'r', 'm', 'e', 'l', 't'}, 0, 1, false},
        {"silent device", {}, 0, 0, true},
        {"port settings refused", {}, STATUS_PORT_CONFIG, 0, false},
    };
    for (const Case &c : cases) {
        fake::Reset();
        Device wrong;
        wrong.identity = c.identity;
        wrong.line.open_status = c.open_status;
        wrong.bad_crc_at = c.bad_crc_at;
        wrong.silent_from = c.silent ? 1 : 0;
        Device right;
        right.identity = {0xAB, 0xCD, 'k', 'o', 'r', 'm', 'e', 'l', 't'};  // first two bytes are free
        fake::Attach(2, &wrong.line);
        fake::Attach(5, &right.line);
        EXPECT_EQ(KORMELT_Open(nullptr), STATUS_OK) << c.what;
        EXPECT_EQ(fake::OpenRecords(), 1) << c.what;
        const std::vector<uint32_t> expected =
            c.open_status != 0 ? std::vector<uint32_t>{5} : std::vector<uint32_t>{2, 5};
        EXPECT_EQ(fake::OpenedPorts(), expected) << c.what;
        KORMELT_Close();
        EXPECT_EQ(fake::OpenRecords(), 0) << c.what;
    }
}

TEST_F(DeviceTest, DeviceOnCom8IsNotFound) {
    fake::Attach(8, &device.line);
    EXPECT_EQ(KORMELT_Open(nullptr), STATUS_NOT_FOUND);
    EXPECT_TRUE(fake::OpenedPorts().empty());
}

TEST_F(DeviceTest, CancelAtEachSearchReportLeavesNothingOpen) {
    for (int32_t cancel : {0, 12, 24}) {
        fake::Reset();
        Progress::Reset(cancel);
        Device other;
        other.silent_from = 1;
        fake::Attach(1, &other.line);
        fake::Attach(3, &device.line);
        EXPECT_EQ(KORMELT_Open(&Progress::Callback), STATUS_CANCELLED) << cancel;
        EXPECT_EQ(fake::OpenRecords(), 0) << cancel;
        EXPECT_EQ(Progress::seen.back(), cancel);
        for (uint32_t n : fake::OpenedPorts()) {
            EXPECT_NE(n, 3u) << "COM3 opened although cancelled at " << cancel;
        }
    }
}

TEST_F(DeviceTest, OpenWhileOpenClosesTheFirstPort) {
    OpenOnCom3();
    ASSERT_EQ(fake::OpenRecords(), 1);
    EXPECT_EQ(KORMELT_Open(nullptr), STATUS_OK);
    EXPECT_EQ(fake::OpenRecords(), 1);
    EXPECT_EQ(fake::OpenedPorts(), (std::vector<uint32_t>{3, 3}));
}

TEST_F(DeviceTest, CloseWithNoPortIsHarmless) {
    EXPECT_EQ(KORMELT_Close(), STATUS_OK);
    EXPECT_EQ(KORMELT_Close(), STATUS_OK);
    EXPECT_EQ(fake::CloseCalls(), 0);
}

TEST_F(DeviceTest, EraseSendsTheSevenBlocksInOrder) {
    OpenOnCom3();
    EXPECT_EQ(KORMELT_Erase(&Progress::Callback), STATUS_OK);
    EXPECT_EQ(Progress::seen, (std::vector<int32_t>{0, 14, 28, 42, 56, 70, 84, 100}));
    std::vector<Bytes> expected;
    for (uint8_t block : {11, 10, 9, 8, 7, 6, 0}) {
        expected.push_back({0x02, block});
    }
    EXPECT_EQ(device.Received(), expected);
    EXPECT_EQ(fake::OpenRecords(), 1);  // the port stays open for the next step
}

TEST_F(DeviceTest, EraseStopsAtTheFirstFailingBlock) {
    struct Case {
        const char *what;
        size_t silent_from;
        size_t bad_crc_at;
        bool write_fails;
        int32_t status;
        size_t requests;
    };
    const Case cases[] = {
        {"silence at block 9", 3, 0, false, STATUS_TIMEOUT, 3},
        {"bad crc at block 11", 0, 1, false, STATUS_CRC, 1},
        {"write failure", 0, 0, true, STATUS_WRITE, 0},
    };
    for (const Case &c : cases) {
        OpenOnCom3();
        Progress::Reset();
        device.silent_from = c.silent_from;
        device.bad_crc_at = c.bad_crc_at;
        device.line.write_fails = c.write_fails;
        EXPECT_EQ(KORMELT_Erase(&Progress::Callback), c.status) << c.what;
        EXPECT_EQ(device.Received().size(), c.requests) << c.what;
        EXPECT_NE(Progress::seen.back(), 100) << c.what;
        device.silent_from = 0;
        device.bad_crc_at = 0;
        device.line.write_fails = false;
    }
}

TEST_F(DeviceTest, EraseCancelStopsBeforeTheNextRequest) {
    OpenOnCom3();
    Progress::Reset(42);
    EXPECT_EQ(KORMELT_Erase(&Progress::Callback), STATUS_CANCELLED);
    EXPECT_EQ(device.Received().size(), 3u);
}

TEST_F(DeviceTest, RestartSendsItsFrameAndReturnsTheExchangeStatus) {
    OpenOnCom3();
    EXPECT_EQ(KORMELT_Restart(), STATUS_OK);
    EXPECT_EQ(device.line.written, (Bytes{0x7E, 0x01, 0xAE, 0x81, 0x7E}));
    device.silent_from = 2;
    EXPECT_EQ(KORMELT_Restart(), STATUS_TIMEOUT);
}

// What the device receives for an image: 133-byte packets from address 0,
// the data in file order, a short last packet filled with 0xFF.
void ExpectPackets(const std::vector<Bytes> &requests, const Bytes &image) {
    const size_t packets = (image.size() + 127) / 128;
    ASSERT_EQ(requests.size(), packets);
    for (size_t k = 0; k < packets; ++k) {
        const Bytes &r = requests[k];
        ASSERT_EQ(r.size(), 133u);
        EXPECT_EQ(r[0], 0x03);
        const uint32_t address = r[1] | r[2] << 8 | r[3] << 16 | static_cast<uint32_t>(r[4]) << 24;
        EXPECT_EQ(address, k * 128);
        for (size_t i = 0; i < 128; ++i) {
            const size_t at = k * 128 + i;
            EXPECT_EQ(r[5 + i], at < image.size() ? image[at] : 0xFF) << "packet " << k << " byte " << i;
        }
    }
}

TEST_F(DeviceTest, UploadSendsOnlyTheImageData) {
    struct Case {
        size_t size;
        std::vector<int32_t> reports;
    };
    const Case cases[] = {
        {256, {0, 50, 100}},
        {300, {0, 42, 85, 100}},
        {128, {0, 100}},
        {1, {0, 100}},
        {129, {0, 99, 100}},
        {6 * 128, {0, 16, 33, 50, 66, 83, 100}},
    };
    for (const Case &c : cases) {
        OpenOnCom3();
        Progress::Reset();
        const Bytes image = ImageBytes(c.size);
        TempFile file(image);
        EXPECT_EQ(KORMELT_Programm(file.path().c_str(), &Progress::Callback), STATUS_OK) << c.size;
        EXPECT_EQ(Progress::seen, c.reports) << c.size;
        ExpectPackets(device.Received(), image);
    }
}

TEST_F(DeviceTest, UploadAddressIsLittleEndian) {
    OpenOnCom3();
    TempFile file(ImageBytes(6 * 128));
    ASSERT_EQ(KORMELT_Programm(file.path().c_str(), nullptr), STATUS_OK);
    const std::vector<Bytes> requests = device.Received();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(Bytes(requests[5].begin() + 1, requests[5].begin() + 5), (Bytes{0x80, 0x02, 0x00, 0x00}));
}

TEST_F(DeviceTest, UploadRefusesWhatItCannotSend) {
    TempFile empty(Bytes{});
    struct Case {
        const char *what;
        const char *path;
        int32_t status;
    };
    const Case cases[] = {
        {"missing file", "/nonexistent/kormelt.bin", STATUS_IMAGE_OPEN},
        {"null path", nullptr, STATUS_IMAGE_OPEN},
        {"empty file", empty.path().c_str(), STATUS_IMAGE_OPEN},
        {"directory", "/", STATUS_IMAGE_OPEN},
    };
    OpenOnCom3();
    for (const Case &c : cases) {
        Progress::Reset();
        EXPECT_EQ(KORMELT_Programm(c.path, &Progress::Callback), c.status) << c.what;
        EXPECT_TRUE(device.line.written.empty()) << c.what;
        EXPECT_TRUE(Progress::seen.empty()) << c.what;
    }
}

// What an upload in a child process did.
struct ChildUpload {
    int32_t status;
    bool wrote;     // any byte went to the line
    bool reported;  // any progress report came
};

// Only a regular file is uploaded; anything else is refused at once with 1,
// before any report or request. Each upload runs in a child process, so one
// that blocks (an open that waits for a FIFO's writer) fails its case
// instead of hanging the suite.
TEST_F(DeviceTest, UploadRefusesPathsThatAreNoRegularFileAtOnce) {
    NotRegularPaths paths;
    TempFile image(ImageBytes(300));
    OpenOnCom3();
    for (const PathCase &c : paths.Cases(STATUS_IMAGE_OPEN, image.path(), STATUS_OK)) {
        SCOPED_TRACE(c.what);
        const std::optional<ChildUpload> got = CallInChild<ChildUpload>(
            [&c, this] {
                Progress::Reset();
                const int32_t status = KORMELT_Programm(c.path.c_str(), &Progress::Callback);
                return ChildUpload{status, !device.line.written.empty(), !Progress::seen.empty()};
            },
            CALL_LIMIT);
        if (!got) {
            ADD_FAILURE() << "no answer within " << CALL_LIMIT.count() << " ms";
            continue;
        }
        EXPECT_EQ(got->status, c.status);
        EXPECT_EQ(got->wrote, c.status == STATUS_OK);
        EXPECT_EQ(got->reported, c.status == STATUS_OK);
    }
}

TEST_F(DeviceTest, UploadWithNoPortOpenTouchesNothing) {
    Progress::Reset();
    EXPECT_EQ(KORMELT_Programm("/nonexistent/kormelt.bin", &Progress::Callback), STATUS_PORT_NOT_OPEN);
    EXPECT_TRUE(Progress::seen.empty());
}

TEST_F(DeviceTest, UploadStopsAtTheFirstFailure) {
    struct Case {
        const char *what;
        int32_t cancel_at;
        size_t silent_from;
        size_t bad_crc_at;
        int32_t status;
        size_t requests;
    };
    // 10 packets: reports 0, 10, 20, ... 90.
    const Case cases[] = {
        {"cancel at the first report", 0, 0, 0, STATUS_CANCELLED, 0},
        {"cancel in the middle", 50, 0, 0, STATUS_CANCELLED, 5},
        {"silence at the first packet", -1, 1, 0, STATUS_TIMEOUT, 1},
        {"silence at a middle packet", -1, 5, 0, STATUS_TIMEOUT, 5},
        {"silence at the last packet", -1, 10, 0, STATUS_TIMEOUT, 10},
        {"bad crc at a middle packet", -1, 0, 4, STATUS_CRC, 4},
    };
    const Bytes image = ImageBytes(10 * 128);
    TempFile file(image);
    for (const Case &c : cases) {
        OpenOnCom3();
        Progress::Reset(c.cancel_at);
        device.silent_from = c.silent_from;
        device.bad_crc_at = c.bad_crc_at;
        EXPECT_EQ(KORMELT_Programm(file.path().c_str(), &Progress::Callback), c.status) << c.what;
        EXPECT_EQ(device.requests, c.requests) << c.what;
        EXPECT_NE(Progress::seen.empty() ? -1 : Progress::seen.back(), 100) << c.what;
        device.silent_from = 0;
        device.bad_crc_at = 0;
    }
}

// Any nonzero answer cancels, whatever its sign: the search, the erase and
// the upload each stop with 12 before the next request.
TEST_F(DeviceTest, EveryNonzeroAnswerCancels) {
    const Bytes image = ImageBytes(10 * 128);
    TempFile file(image);
    for (const int32_t answer : {-1, INT32_MIN, 2, INT32_MAX}) {
        SCOPED_TRACE(answer);
        fake::Reset();
        Device silent;
        silent.silent_from = 1;
        fake::Attach(1, &silent.line);
        fake::Attach(3, &device.line);
        Progress::Reset(12, answer);
        EXPECT_EQ(KORMELT_Open(&Progress::Callback), STATUS_CANCELLED);
        EXPECT_EQ(silent.requests, 1u);
        EXPECT_EQ(fake::OpenedPorts(), std::vector<uint32_t>{1});
        EXPECT_EQ(fake::OpenRecords(), 0);

        OpenOnCom3();
        Progress::Reset(28, answer);
        EXPECT_EQ(KORMELT_Erase(&Progress::Callback), STATUS_CANCELLED);
        EXPECT_EQ(device.requests, 2u);

        device.requests = 0;
        Progress::Reset(30, answer);
        EXPECT_EQ(KORMELT_Programm(file.path().c_str(), &Progress::Callback), STATUS_CANCELLED);
        EXPECT_EQ(device.requests, 3u);
        EXPECT_EQ(Progress::seen.back(), 30);
        KORMELT_Close();
    }
}

// A stream whose reads fail from a chosen call on, after handing out some
// bytes of that call.
struct FailingReads {
    static int fail_at;        // read call, counted from 1
    static size_t delivered;   // bytes the failing call still returns
    static int calls;
    static bool failed;
    static size_t Read(void *buffer, size_t size, size_t count, std::FILE *file) {
        if (++calls < fail_at) {
            return kormelt::IMAGE_FILE_REAL_CALLS.read(buffer, size, count, file);
        }
        failed = true;
        return kormelt::IMAGE_FILE_REAL_CALLS.read(buffer, size, delivered < count ? delivered : count, file);
    }
    static int Error(std::FILE *file) { return failed ? 1 : kormelt::IMAGE_FILE_REAL_CALLS.error(file); }
};
int FailingReads::fail_at = 0;
size_t FailingReads::delivered = 0;
int FailingReads::calls = 0;
bool FailingReads::failed = false;

TEST_F(DeviceTest, ReadErrorInTheImageEndsTheUploadWith1) {
    struct Case {
        const char *what;
        int fail_at;
        size_t delivered;
        size_t requests;
    };
    const Case cases[] = {
        {"first read fails", 1, 0, 0},
        {"fourth read fails", 4, 0, 3},
        {"fourth read fails after 50 bytes", 4, 50, 3},
        {"last read fails after part of its packet", 10, 100, 9},
    };
    const Bytes image = ImageBytes(10 * 128);
    TempFile file(image);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        OpenOnCom3();
        Progress::Reset();
        FailingReads::fail_at = c.fail_at;
        FailingReads::delivered = c.delivered;
        FailingReads::calls = 0;
        FailingReads::failed = false;
        kormelt::ImageFileCall.read = FailingReads::Read;
        kormelt::ImageFileCall.error = FailingReads::Error;
        const int32_t status = KORMELT_Programm(file.path().c_str(), &Progress::Callback);
        kormelt::ImageFileCall = kormelt::IMAGE_FILE_REAL_CALLS;
        EXPECT_EQ(status, STATUS_IMAGE_OPEN);
        EXPECT_EQ(device.requests, c.requests);
        EXPECT_TRUE(Progress::seen.empty() || Progress::seen.back() != 100);
    }
}

// Holds one write on the line until released, so that a test knows the call
// that made it is halfway when it lets a second thread call in.
class WriteGate {
public:
    // Wraps line's device until the gate goes: its write number `at` (from
    // 1) waits in the gate.
    WriteGate(fake::Line &line, size_t at) : line_(line), answer_(line.on_write) {
        line.on_write = [this, at](fake::Line &l, const uint8_t *bytes, size_t count) {
            if (++writes_ == at) {
                std::unique_lock<std::mutex> hold(mutex_);
                paused_ = true;
                changed_.notify_all();
                changed_.wait(hold, [this] { return released_; });
            }
            answer_(l, bytes, count);
        };
    }
    ~WriteGate() { line_.on_write = answer_; }
    WriteGate(const WriteGate &) = delete;
    WriteGate &operator=(const WriteGate &) = delete;
    void WaitUntilPaused() {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [this] { return paused_; });
    }
    void Release() {
        std::lock_guard<std::mutex> hold(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    fake::Line &line_;
    std::function<void(fake::Line &, const uint8_t *, size_t)> answer_;
    size_t writes_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool paused_ = false;
    bool released_ = false;
};

// Time the second thread gets to run into the first one's call before the
// first is released. Only a chance for a missing lock to show: with the
// lock the order is the same however long this is.
constexpr std::chrono::milliseconds SECOND_CALL_HEAD_START{200};

// A call from a second thread while an upload is halfway (held in its fourth
// packet's write) waits for the upload to end, and then does its own work:
// the upload completes untouched, its packets are not mixed with the second
// call's requests, and the port is not freed under it.
TEST_F(DeviceTest, CallFromAnotherThreadWaitsForTheRunningUpload) {
    struct Case {
        const char *what;
        std::function<int32_t()> call;
        Bytes after;  // commands the device receives after the upload's packets
        int open_records;
    };
    const Case cases[] = {
        {"erase", [] { return KORMELT_Erase(nullptr); }, Bytes(7, 0x02), 1},
        {"restart", [] { return KORMELT_Restart(); }, {0x01}, 1},
        {"open", [] { return KORMELT_Open(nullptr); }, {0x00}, 1},
        {"close", [] { return KORMELT_Close(); }, {}, 0},
    };
    const Bytes image = ImageBytes(10 * 128);
    TempFile file(image);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        OpenOnCom3();
        WriteGate gate(device.line, 4);
        int32_t upload_status = -1;
        std::thread upload([&] { upload_status = KORMELT_Programm(file.path().c_str(), nullptr); });
        gate.WaitUntilPaused();

        // What the device had received of the upload when the second call
        // returned: all of it, if that call waited.
        std::atomic<bool> second_called{false};
        int32_t second_status = -1;
        size_t packets_before_second_returned = 0;
        std::thread second([&] {
            second_called = true;
            second_status = c.call();
            for (const Bytes &request : device.Received()) {
                packets_before_second_returned += !request.empty() && request[0] == 0x03;
            }
        });
        while (!second_called) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(SECOND_CALL_HEAD_START);
        gate.Release();
        upload.join();
        second.join();

        EXPECT_EQ(packets_before_second_returned, 10u) << "the second call returned while the upload ran";
        EXPECT_EQ(upload_status, STATUS_OK);
        EXPECT_EQ(second_status, STATUS_OK);
        const std::vector<Bytes> requests = device.Received();
        ASSERT_GE(requests.size(), 10u);
        ExpectPackets(std::vector<Bytes>(requests.begin(), requests.begin() + 10), image);
        Bytes after;
        for (size_t i = 10; i < requests.size(); ++i) {
            after.push_back(requests[i].empty() ? 0xFF : requests[i][0]);
        }
        EXPECT_EQ(after, c.after);
        EXPECT_EQ(fake::OpenRecords(), c.open_records);
        KORMELT_Close();
        fake::Reset();
    }
}

// What an erase whose progress callback checks an image saw.
struct ReentrantErase {
    int32_t erase_status;
    int32_t check_status;  // of the check made inside the callback
    size_t requests;
};

struct CheckInsideProgress {
    static std::string image;
    static int32_t check_status;
    static int32_t KORMELT_CALL Callback(int32_t percent) {
        if (percent == 42) {
            check_status = KORMELT_CheckCRC(image.c_str());
        }
        return 0;
    }
};
std::string CheckInsideProgress::image;
int32_t CheckInsideProgress::check_status = -99;

// The lock belongs to the thread, not to the call: a progress callback that
// calls the library runs that call at once instead of waiting for its own
// caller. In a child process, so that a lock taken twice fails the test
// after a time instead of hanging it.
TEST_F(DeviceTest, ProgressCallbackMayCallTheLibraryOnItsOwnThread) {
    TempFile sealed(WithCrc(ImageBytes(100)));
    CheckInsideProgress::image = sealed.path();
    OpenOnCom3();
    const std::optional<ReentrantErase> got = CallInChild<ReentrantErase>(
        [this] {
            const int32_t status = KORMELT_Erase(&CheckInsideProgress::Callback);
            return ReentrantErase{status, CheckInsideProgress::check_status, device.requests};
        },
        CALL_LIMIT);
    ASSERT_TRUE(got.has_value()) << "no answer within " << CALL_LIMIT.count() << " ms";
    EXPECT_EQ(got->erase_status, STATUS_OK);
    EXPECT_EQ(got->check_status, STATUS_OK);
    EXPECT_EQ(got->requests, 7u);
}

TEST_F(DeviceTest, CompleteUpdateOverTheInMemoryLine) {
    const Bytes image = WithCrc(ImageBytes(1000));
    TempFile file(image);
    fake::Attach(3, &device.line);
    EXPECT_EQ(KORMELT_CheckCRC(file.path().c_str()), STATUS_OK);
    EXPECT_EQ(KORMELT_Open(nullptr), STATUS_OK);
    EXPECT_EQ(KORMELT_Erase(nullptr), STATUS_OK);
    EXPECT_EQ(KORMELT_Programm(file.path().c_str(), nullptr), STATUS_OK);
    EXPECT_EQ(KORMELT_Restart(), STATUS_OK);
    EXPECT_EQ(KORMELT_Close(), STATUS_OK);
    EXPECT_EQ(fake::OpenRecords(), 0);
    const std::vector<Bytes> requests = device.Received();
    ASSERT_EQ(requests.size(), 1u + 7u + 8u + 1u);
    EXPECT_EQ(requests.front(), Bytes{0x00});
    EXPECT_EQ(requests.back(), Bytes{0x01});
    ExpectPackets(std::vector<Bytes>(requests.begin() + 8, requests.end() - 1), image);
}

}  // namespace
