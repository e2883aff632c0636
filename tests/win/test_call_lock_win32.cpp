// The exports' lock in the Windows library: a call from a second thread
// waits while the first thread's call runs, and a progress callback may call
// the library on its own thread. The first call is a search held in its
// first progress report, which then cancels it, so no port is ever opened.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "device/api.h"
#include "protocol/status_names.h"
#include "tests/win/check_thread_win32.h"
#include "tests/win/temp_dir_win32.h"

namespace {

constexpr DWORD CALL_LIMIT_MS = 5000;  // far longer than any call here takes
// Time the second thread gets to run into the first one's call. Only a
// chance for a missing lock to show: with the lock nothing depends on it.
constexpr DWORD SECOND_CALL_HEAD_START_MS = 200;

// What the search's progress callback does when the test holds it.
struct Search {
    HANDLE entered = nullptr;  // set once the callback runs
    HANDLE release = nullptr;  // the callback returns once this is set
    std::string image;         // checked from inside the callback when not empty
    int32_t inner_status = 99;
    int32_t status = 99;
};
Search *search = nullptr;

int32_t KORMELT_CALL HeldProgress(int32_t percent) {
    (void)percent;
    if (!search->image.empty()) {
        search->inner_status = KORMELT_CheckCRC(search->image.c_str());
    }
    SetEvent(search->entered);
    WaitForSingleObject(search->release, INFINITE);
    return 1;  // cancels the search before it opens a port
}

DWORD WINAPI RunSearch(LPVOID) {
    search->status = KORMELT_Open(HeldProgress);
    return 0;
}

class Win32CallLock : public ::testing::Test {
protected:
    void SetUp() override {
        state.entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        state.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(state.entered, nullptr);
        ASSERT_NE(state.release, nullptr);
        search = &state;
    }
    // Whatever failed, the held search is let go before the test ends.
    void TearDown() override {
        SetEvent(state.release);
        for (HANDLE thread : {searcher, checker}) {
            if (thread != nullptr) {
                WaitForSingleObject(thread, CALL_LIMIT_MS);
                CloseHandle(thread);
            }
        }
        CloseHandle(state.entered);
        CloseHandle(state.release);
        search = nullptr;
    }

    Search state;
    HANDLE searcher = nullptr;
    HANDLE checker = nullptr;
};

TEST_F(Win32CallLock, CallFromAnotherThreadWaitsForTheRunningCall) {
    TempDir dir;
    Check check;
    check.path = dir.Write("sealed.img", WithCrc({0x01, 0x02, 0x03}));
    searcher = CreateThread(nullptr, 0, RunSearch, nullptr, 0, nullptr);
    ASSERT_NE(searcher, nullptr);
    ASSERT_EQ(WaitForSingleObject(state.entered, CALL_LIMIT_MS), WAIT_OBJECT_0);

    checker = CreateThread(nullptr, 0, RunCheck, &check, 0, nullptr);
    ASSERT_NE(checker, nullptr);
    EXPECT_EQ(WaitForSingleObject(checker, SECOND_CALL_HEAD_START_MS), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the check ran while the search held the library";
    SetEvent(state.release);
    EXPECT_EQ(WaitForSingleObject(searcher, CALL_LIMIT_MS), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(checker, CALL_LIMIT_MS), WAIT_OBJECT_0);
    EXPECT_EQ(state.status, STATUS_CANCELLED);
    EXPECT_EQ(check.status, STATUS_OK);
}

TEST_F(Win32CallLock, ProgressCallbackMayCallTheLibraryOnItsOwnThread) {
    TempDir dir;
    state.image = dir.Write("sealed.img", WithCrc({0x04, 0x05, 0x06}));
    SetEvent(state.release);
    searcher = CreateThread(nullptr, 0, RunSearch, nullptr, 0, nullptr);
    ASSERT_NE(searcher, nullptr);
    ASSERT_EQ(WaitForSingleObject(searcher, CALL_LIMIT_MS), WAIT_OBJECT_0) << "the call inside the callback waits";
    EXPECT_EQ(state.inner_status, STATUS_OK);
    EXPECT_EQ(state.status, STATUS_CANCELLED);
}

}  // namespace
