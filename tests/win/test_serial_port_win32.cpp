// The Win32 serial port against a fake platform: every platform call goes
// through the Win32Call table, which these tests fill with fakes that log the
// call, can be told to fail, and keep what they were given.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "link/serial_port.h"
#include "link/serial_port_win32.h"
#include "protocol/protocol.h"
#include "protocol/status_names.h"

using kormelt::PortClose;
using kormelt::PortOpen;
using kormelt::PortReadByte;
using kormelt::PortRecord;
using kormelt::PortWrite;
using kormelt::Win32Call;
using kormelt::WIN32_REAL_CALLS;
using Calls = std::vector<std::string>;

namespace {

HANDLE const DEVICE_HANDLE = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x4D2));

struct ReadResult {
    BOOL ok;
    DWORD count;  // 0 or 1
    uint8_t value;
};

struct WriteCall {
    const void *buffer;
    DWORD length;
    bool overlapped;
};

// What the fake platform saw and what it will answer.
struct Platform {
    Calls calls;
    std::set<std::string> failing;  // names of the calls that fail

    std::set<void *> live_blocks;  // allocated by the port, not yet freed
    // Freed blocks stay readable until the test ends, so a test can hand a
    // released record back to PortClose.
    std::vector<void *> freed_blocks;
    int handles_opened = 0;
    int handles_closed = 0;
    bool foreign_handle = false;  // a call was given a handle CreateFileA never returned

    std::string device_name;
    DWORD access = 0, share = 0, disposition = 0, attributes = 0;
    bool security_given = false, template_given = false;
    DWORD in_queue = 0, out_queue = 0;
    COMMTIMEOUTS timeouts{};
    DWORD dcb_length_on_get = 0;
    DCB driver_dcb{};
    std::vector<DCB> applied;  // each DCB handed to SetCommState

    std::deque<ReadResult> reads;  // scripted ReadFile results; none left: nothing waiting
    std::vector<DWORD> read_lengths;
    bool read_overlapped = false;
    std::vector<WriteCall> writes;
    BOOL write_ok = TRUE;
    DWORD write_count = 0;

    DWORD tick_start = 0;
    DWORD tick_step = 0;  // added after each GetTickCount
    DWORD tick_calls = 0;
};

Platform *platform = nullptr;

bool Fails(const char *name) { return platform->failing.count(name) != 0; }

void UseHandle(HANDLE handle) {
    if (handle != DEVICE_HANDLE) {
        platform->foreign_handle = true;
    }
}

// The fakes, each named as the call it stands in for, so that SetUp puts
// every one in its place from the port's list of calls: a call added to
// the list without a fake does not compile.
namespace fake {

void *malloc(size_t bytes) {
    platform->calls.push_back("Malloc");
    if (Fails("Malloc")) {
        return nullptr;
    }
    void *block = std::malloc(bytes);
    platform->live_blocks.insert(block);
    return block;
}

void free(void *block) {
    platform->calls.push_back("Free");
    if (platform->live_blocks.erase(block) == 1) {
        platform->freed_blocks.push_back(block);
    } else {
        ADD_FAILURE() << "freed a block that was not allocated, or twice";
    }
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD attributes, HANDLE template_file) {
    platform->calls.push_back("CreateFileA");
    platform->device_name = name;
    platform->access = access;
    platform->share = share;
    platform->security_given = security != nullptr;
    platform->disposition = disposition;
    platform->attributes = attributes;
    platform->template_given = template_file != nullptr;
    if (Fails("CreateFileA")) {
        return INVALID_HANDLE_VALUE;
    }
    ++platform->handles_opened;
    return DEVICE_HANDLE;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    platform->calls.push_back("CloseHandle");
    UseHandle(handle);
    ++platform->handles_closed;
    return Fails("CloseHandle") ? FALSE : TRUE;
}

BOOL WINAPI SetupComm(HANDLE handle, DWORD in_queue, DWORD out_queue) {
    platform->calls.push_back("SetupComm");
    UseHandle(handle);
    platform->in_queue = in_queue;
    platform->out_queue = out_queue;
    return Fails("SetupComm") ? FALSE : TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    platform->calls.push_back("SetCommTimeouts");
    UseHandle(handle);
    platform->timeouts = *timeouts;
    return Fails("SetCommTimeouts") ? FALSE : TRUE;
}

BOOL WINAPI GetCommState(HANDLE handle, LPDCB dcb) {
    platform->calls.push_back("GetCommState");
    UseHandle(handle);
    platform->dcb_length_on_get = dcb->DCBlength;
    if (Fails("GetCommState")) {
        return FALSE;
    }
    *dcb = platform->driver_dcb;
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE handle, LPDCB dcb) {
    platform->calls.push_back("SetCommState");
    UseHandle(handle);
    platform->applied.push_back(*dcb);
    return Fails("SetCommState") ? FALSE : TRUE;
}

BOOL WINAPI EscapeCommFunction(HANDLE handle, DWORD function) {
    UseHandle(handle);
    const char *name = function == CLRDTR   ? "EscapeCommFunction(CLRDTR)"
                       : function == CLRRTS ? "EscapeCommFunction(CLRRTS)"
                                            : "EscapeCommFunction(other)";
    platform->calls.push_back(name);
    return Fails("EscapeCommFunction") ? FALSE : TRUE;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD count, LPOVERLAPPED overlapped) {
    platform->calls.push_back("ReadFile");
    UseHandle(handle);
    platform->read_lengths.push_back(length);
    platform->read_overlapped |= overlapped != nullptr;
    ReadResult result{TRUE, 0, 0};
    if (!platform->reads.empty()) {
        result = platform->reads.front();
        platform->reads.pop_front();
    }
    if (result.count == 1) {
        *static_cast<uint8_t *>(buffer) = result.value;
    }
    *count = result.count;
    return result.ok;
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD count, LPOVERLAPPED overlapped) {
    platform->calls.push_back("WriteFile");
    UseHandle(handle);
    platform->writes.push_back({buffer, length, overlapped != nullptr});
    *count = platform->write_count;
    return platform->write_ok;
}

DWORD WINAPI GetTickCount() {
    platform->calls.push_back("GetTickCount");
    return platform->tick_start + platform->tick_step * platform->tick_calls++;
}

void WINAPI Sleep(DWORD ms) { platform->calls.push_back("Sleep(" + std::to_string(ms) + ")"); }

}  // namespace fake

// Every field of a DCB with a value a driver might report: each differs
// from what the port sets, so each one the port sets shows, and each one it
// keeps is recognisable. DriverDcb and ExpectDcbEq both walk this list, so
// no field escapes the comparison.
#define KORMELT_DCB_FIELDS(X)                                                                      \
    X(DCBlength, sizeof(DCB)) X(BaudRate, 9600) X(fBinary, 0) X(fParity, 1) X(fOutxCtsFlow, 1)     \
    X(fOutxDsrFlow, 1) X(fDtrControl, DTR_CONTROL_HANDSHAKE) X(fDsrSensitivity, 1)                 \
    X(fTXContinueOnXoff, 1) X(fOutX, 1) X(fInX, 1) X(fErrorChar, 1) X(fNull, 1)                    \
    X(fRtsControl, RTS_CONTROL_TOGGLE) X(fAbortOnError, 1) X(fDummy2, 0x15A5A) X(wReserved, 0x55)  \
    X(XonLim, 2048) X(XoffLim, 512) X(ByteSize, 7) X(Parity, EVENPARITY) X(StopBits, TWOSTOPBITS)  \
    X(XonChar, 0x11) X(XoffChar, 0x13) X(ErrorChar, '?') X(EofChar, 0x1A) X(EvtChar, '\n')         \
    X(wReserved1, 0x77)

DCB DriverDcb() {
    DCB dcb{};
#define KORMELT_SET_FIELD(field, value) dcb.field = value;
    KORMELT_DCB_FIELDS(KORMELT_SET_FIELD)
#undef KORMELT_SET_FIELD
    return dcb;
}

// The driver's settings with the port's line settings laid over them.
DCB OpenDcb() {
    DCB dcb = DriverDcb();
    dcb.BaudRate = 19200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.wReserved = 0;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    return dcb;
}

void ExpectDcbEq(const DCB &actual, const DCB &expected) {
#define KORMELT_EXPECT_FIELD(field, value) EXPECT_EQ(actual.field, expected.field) << #field;
    KORMELT_DCB_FIELDS(KORMELT_EXPECT_FIELD)
#undef KORMELT_EXPECT_FIELD
}

const Calls OPEN_CALLS = {"Malloc", "CreateFileA", "SetupComm", "SetCommTimeouts", "GetCommState",
                          "SetCommState"};
const Calls CLOSE_CALLS = {"SetCommState", "EscapeCommFunction(CLRDTR)", "EscapeCommFunction(CLRRTS)",
                           "CloseHandle", "Free"};

// A pointer the port must overwrite with null when an open fails.
PortRecord *const NOT_TOUCHED = reinterpret_cast<PortRecord *>(static_cast<uintptr_t>(0x5A5A5A50));

class Win32PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform = &state;
        state.driver_dcb = DriverDcb();
#define KORMELT_USE_FAKE(name, type, real) Win32Call.name = fake::name;
        KORMELT_WIN32_CALLS(KORMELT_USE_FAKE)
#undef KORMELT_USE_FAKE
    }

    void TearDown() override {
        Win32Call = WIN32_REAL_CALLS;
        for (void *block : state.live_blocks) {
            std::free(block);
        }
        for (void *block : state.freed_blocks) {
            std::free(block);
        }
        platform = nullptr;
    }

    // Opens COMn and forgets the calls of the open.
    void Open(uint32_t n = 3) {
        ASSERT_EQ(PortOpen(&port, n), STATUS_OK);
        ASSERT_NE(port, nullptr);
        state.calls.clear();
    }

    Platform state;
    PortRecord *port = nullptr;
};

TEST_F(Win32PortTest, OpenRunsEveryStepInOrderAndLeavesALiveRecord) {
    port = NOT_TOUCHED;
    ASSERT_EQ(PortOpen(&port, 3), STATUS_OK);
    EXPECT_NE(port, NOT_TOUCHED);
    EXPECT_NE(port, nullptr);
    EXPECT_EQ(state.calls, OPEN_CALLS);
    EXPECT_EQ(state.live_blocks.size(), 1u);
    EXPECT_EQ(state.handles_opened, 1);
    EXPECT_EQ(state.handles_closed, 0);
    EXPECT_FALSE(state.foreign_handle);
}

TEST_F(Win32PortTest, OpenAsksForTheDeviceExclusivelyForReadingAndWriting) {
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(state.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(state.share, 0u);
    EXPECT_FALSE(state.security_given);
    EXPECT_EQ(state.disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(state.attributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(state.template_given);
}

TEST_F(Win32PortTest, OpenSetsQueuesAndTimeouts) {
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(state.in_queue, 1024u);
    EXPECT_EQ(state.out_queue, 1024u);
    EXPECT_EQ(state.timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(state.timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(state.timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(state.timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(state.timeouts.WriteTotalTimeoutConstant, 250u);
}

TEST_F(Win32PortTest, OpenAppliesTheLineSettingsOverWhatTheDriverReported) {
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(state.dcb_length_on_get, sizeof(DCB));
    ASSERT_EQ(state.applied.size(), 1u);
    ExpectDcbEq(state.applied[0], OpenDcb());
}

struct DeviceName {
    uint32_t n;
    const char *name;
};

std::ostream &operator<<(std::ostream &out, const DeviceName &c) { return out << "COM" << c.n; }

class Win32PortNameTest : public Win32PortTest, public ::testing::WithParamInterface<DeviceName> {};

TEST_P(Win32PortNameTest, DeviceNameIsTheNumberInDecimal) {
    ASSERT_NO_FATAL_FAILURE(Open(GetParam().n));
    EXPECT_EQ(state.device_name, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Numbers, Win32PortNameTest,
                         ::testing::Values(DeviceName{1, "\\\\.\\COM1"}, DeviceName{9, "\\\\.\\COM9"},
                                           DeviceName{10, "\\\\.\\COM10"}, DeviceName{64, "\\\\.\\COM64"}),
                         [](const ::testing::TestParamInfo<DeviceName> &case_info) {
                             return "COM" + std::to_string(case_info.param.n);
                         });

class Win32PortNumberTest : public Win32PortTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(Win32PortNumberTest, OutOfRangeGives8WithoutAnyPlatformCall) {
    port = NOT_TOUCHED;
    EXPECT_EQ(PortOpen(&port, GetParam()), STATUS_PORT_NUMBER);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(state.calls, Calls{});
}

INSTANTIATE_TEST_SUITE_P(Numbers, Win32PortNumberTest, ::testing::Values(0u, 65u, 0xFFFFFFFFu));

struct OpenFailure {
    const char *call;  // the one platform call that fails
    int32_t status;
    Calls calls;  // every platform call the open makes, in order
};

std::ostream &operator<<(std::ostream &out, const OpenFailure &c) { return out << c.call << " fails"; }

class Win32PortOpenFailureTest : public Win32PortTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(Win32PortOpenFailureTest, EachStepHasItsStatusAndReleasesEverything) {
    state.failing = {GetParam().call};
    port = NOT_TOUCHED;
    EXPECT_EQ(PortOpen(&port, 3), GetParam().status);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(state.calls, GetParam().calls);
    EXPECT_TRUE(state.live_blocks.empty()) << "record not freed";
    EXPECT_EQ(state.handles_closed, state.handles_opened) << "device handle not closed";
    EXPECT_FALSE(state.foreign_handle);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, Win32PortOpenFailureTest,
    ::testing::Values(
        OpenFailure{"Malloc", STATUS_NO_MEMORY, {"Malloc"}},
        OpenFailure{"CreateFileA", STATUS_PORT_OPEN, {"Malloc", "CreateFileA", "Free"}},
        OpenFailure{"SetupComm", STATUS_PORT_QUEUES, {"Malloc", "CreateFileA", "SetupComm", "CloseHandle", "Free"}},
        OpenFailure{"SetCommTimeouts",
                    STATUS_PORT_TIMEOUTS,
                    {"Malloc", "CreateFileA", "SetupComm", "SetCommTimeouts", "CloseHandle", "Free"}},
        OpenFailure{"GetCommState",
                    STATUS_PORT_STATE,
                    {"Malloc", "CreateFileA", "SetupComm", "SetCommTimeouts", "GetCommState", "CloseHandle",
                     "Free"}},
        OpenFailure{"SetCommState",
                    STATUS_PORT_CONFIG,
                    {"Malloc", "CreateFileA", "SetupComm", "SetCommTimeouts", "GetCommState", "SetCommState",
                     "CloseHandle", "Free"}}),
    [](const ::testing::TestParamInfo<OpenFailure> &case_info) { return std::string(case_info.param.call); });

TEST_F(Win32PortTest, RecordReleasedByAFailedOpenIsNotLive) {
    state.failing = {"SetupComm"};
    ASSERT_EQ(PortOpen(&port, 3), STATUS_PORT_QUEUES);
    ASSERT_EQ(state.freed_blocks.size(), 1u);
    state.calls.clear();
    // The fake keeps freed blocks readable, so the released record can be offered to close.
    EXPECT_EQ(PortClose(static_cast<PortRecord *>(state.freed_blocks[0])), STATUS_PORT_NOT_OPEN);
    EXPECT_EQ(state.calls, Calls{});
}

TEST_F(Win32PortTest, CloseDropsTheLinesThenReleasesHandleAndRecord) {
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(PortClose(port), STATUS_OK);
    EXPECT_EQ(state.calls, CLOSE_CALLS);
    ASSERT_EQ(state.applied.size(), 2u);
    DCB dropped = OpenDcb();
    dropped.fDtrControl = DTR_CONTROL_DISABLE;
    dropped.fRtsControl = RTS_CONTROL_DISABLE;
    ExpectDcbEq(state.applied[1], dropped);
    EXPECT_TRUE(state.live_blocks.empty());
    EXPECT_EQ(state.handles_closed, 1);
    EXPECT_FALSE(state.foreign_handle);
}

TEST_F(Win32PortTest, CloseCompletesWhenTheLinesAndTheHandleRefuse) {
    ASSERT_NO_FATAL_FAILURE(Open());
    state.failing = {"SetCommState", "EscapeCommFunction", "CloseHandle"};
    EXPECT_EQ(PortClose(port), STATUS_OK);
    EXPECT_EQ(state.calls, CLOSE_CALLS);
    EXPECT_TRUE(state.live_blocks.empty());
}

TEST_F(Win32PortTest, SecondCloseGives42WithoutAnyPlatformCall) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(PortClose(port), STATUS_OK);
    state.calls.clear();
    // The record was freed; the fake keeps its memory readable for this.
    EXPECT_EQ(PortClose(port), STATUS_PORT_NOT_OPEN);
    EXPECT_EQ(state.calls, Calls{});
}

TEST_F(Win32PortTest, CloseOfNoRecordGives42WithoutAnyPlatformCall) {
    EXPECT_EQ(PortClose(nullptr), STATUS_PORT_NOT_OPEN);
    EXPECT_EQ(state.calls, Calls{});
}

// A progress callback may close the port between two exchanges: the next
// exchange must fail at once, not reach a freed record's handle.
TEST_F(Win32PortTest, WriteAndReadOnAClosedOrNoRecordFailWithoutAnyPlatformCall) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(PortClose(port), STATUS_OK);
    state.calls.clear();
    const uint8_t frame[] = {0x7E, 0x01, 0xAE, 0x81, 0x7E};
    for (PortRecord *record : {port, static_cast<PortRecord *>(nullptr)}) {
        size_t written = 99;
        EXPECT_FALSE(PortWrite(record, frame, sizeof frame, &written));
        EXPECT_EQ(written, 0u);
        uint8_t byte = 0;
        EXPECT_EQ(PortReadByte(record, &byte, 3000), STATUS_TIMEOUT);
    }
    EXPECT_EQ(state.calls, Calls{});
}

struct WriteOutcome {
    BOOL ok;
    DWORD written;
};

std::ostream &operator<<(std::ostream &out, const WriteOutcome &c) {
    return out << (c.ok ? "TRUE" : "FALSE") << ", " << c.written << " written";
}

class Win32PortWriteTest : public Win32PortTest, public ::testing::WithParamInterface<WriteOutcome> {};

TEST_P(Win32PortWriteTest, OneWriteReportsItsResultAndCount) {
    ASSERT_NO_FATAL_FAILURE(Open());
    state.write_ok = GetParam().ok;
    state.write_count = GetParam().written;
    const uint8_t frame[] = {0x7E, 0x00, 0xBE, 0xA0, 0x7E};
    size_t written = 99;
    EXPECT_EQ(PortWrite(port, frame, sizeof frame, &written), GetParam().ok != FALSE);
    EXPECT_EQ(written, GetParam().written);
    EXPECT_EQ(state.calls, Calls{"WriteFile"});
    ASSERT_EQ(state.writes.size(), 1u);
    EXPECT_EQ(state.writes[0].buffer, frame);
    EXPECT_EQ(state.writes[0].length, sizeof frame);
    EXPECT_FALSE(state.writes[0].overlapped);
    EXPECT_FALSE(state.foreign_handle);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, Win32PortWriteTest,
                         ::testing::Values(WriteOutcome{TRUE, 5}, WriteOutcome{TRUE, 3}, WriteOutcome{FALSE, 0},
                                           WriteOutcome{FALSE, 2}));

TEST_F(Win32PortTest, ReadReturnsAtOnceWhenAByteIsWaiting) {
    ASSERT_NO_FATAL_FAILURE(Open());
    state.reads = {{TRUE, 1, 0xA5}};
    uint8_t received = 0;
    EXPECT_EQ(PortReadByte(port, &received, 3000), STATUS_OK);
    EXPECT_EQ(received, 0xA5);
    EXPECT_EQ(state.calls, (Calls{"GetTickCount", "ReadFile"}));
    EXPECT_EQ(state.read_lengths, std::vector<DWORD>{1});
    EXPECT_FALSE(state.read_overlapped);
    EXPECT_FALSE(state.foreign_handle);
}

TEST_F(Win32PortTest, ReadYieldsBetweenTriesUntilAByteComes) {
    ASSERT_NO_FATAL_FAILURE(Open());
    // Both an empty read and a failed one count as no byte.
    state.reads = {{TRUE, 0, 0}, {FALSE, 0, 0}, {TRUE, 1, 0x7E}};
    state.tick_step = 1;
    uint8_t received = 0;
    EXPECT_EQ(PortReadByte(port, &received, 3000), STATUS_OK);
    EXPECT_EQ(received, 0x7E);
    EXPECT_EQ(state.calls, (Calls{"GetTickCount", "ReadFile", "Sleep(0)", "GetTickCount", "ReadFile", "Sleep(0)",
                                  "GetTickCount", "ReadFile"}));
    EXPECT_EQ(state.read_lengths, (std::vector<DWORD>{1, 1, 1}));
}

TEST_F(Win32PortTest, ReadTakesAByteThatCameWithAFailedResult) {
    ASSERT_NO_FATAL_FAILURE(Open());
    state.reads = {{FALSE, 1, 0x42}};
    state.tick_step = 1;  // a port that ignores the byte times out instead of hanging
    uint8_t received = 0;
    EXPECT_EQ(PortReadByte(port, &received, 3000), STATUS_OK);
    EXPECT_EQ(received, 0x42);
}

struct Silence {
    DWORD tick_start;
    DWORD tick_step;  // ms the clock moves on between two readings
    uint32_t timeout_ms;
    size_t reads;  // tries before 14: the first at which elapsed >= timeout_ms
};

std::ostream &operator<<(std::ostream &out, const Silence &c) {
    return out << "ticks from " << c.tick_start << " by " << c.tick_step << ", timeout " << c.timeout_ms << " ms";
}

class Win32PortTimeoutTest : public Win32PortTest, public ::testing::WithParamInterface<Silence> {};

TEST_P(Win32PortTimeoutTest, SilenceGives14ExactlyWhenTheTimeIsUp) {
    ASSERT_NO_FATAL_FAILURE(Open());
    state.tick_start = GetParam().tick_start;
    state.tick_step = GetParam().tick_step;
    uint8_t received = 0;
    EXPECT_EQ(PortReadByte(port, &received, GetParam().timeout_ms), STATUS_TIMEOUT);
    Calls expected{"GetTickCount"};
    for (size_t i = 0; i < GetParam().reads; ++i) {
        expected.insert(expected.end(), {"ReadFile", "Sleep(0)", "GetTickCount"});
    }
    EXPECT_EQ(state.calls, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, Win32PortTimeoutTest,
    ::testing::Values(Silence{0, 1, 10, 10},                   // elapsed 9 goes on, 10 stops
                      Silence{1000, 7, 20, 3},                 // 21 is past 20
                      Silence{5000, 1, 0, 1},                  // a zero timeout still tries once
                      Silence{0xFFFFFF00u, 1, 3000, 3000},     // the counter wraps at elapsed 256
                      Silence{0xFFFFFFFFu, 1, 2, 2},           // wraps at the first step
                      Silence{0x7FFFFFF0u, 8, 64, 8},          // crosses the sign bit
                      Silence{0x10, 0x55555555u, 0xFFFFFFFFu, 3}));  // the longest timeout there is

}  // namespace
