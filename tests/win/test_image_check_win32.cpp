// The image check of the Windows library: only a file on a disk is read.
// NUL, a directory or a pipe is refused at once with -1, like a file that
// cannot be opened; a pipe read as a file would wait for its writer for ever.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "device/api.h"
#include "protocol/status_names.h"
#include "tests/win/check_thread_win32.h"
#include "tests/win/temp_dir_win32.h"

namespace {

// Far longer than a check of a small file takes; a check still running then
// is blocked.
constexpr DWORD CALL_LIMIT_MS = 5000;

TEST(Win32ImageCheck, OnlyAFileOnADiskIsReadTheRestGivesMinusOneAtOnce) {
    TempDir dir;
    const std::string sealed = dir.Write("sealed.img", WithCrc({0x10, 0x20, 0x30, 0x40}));
    const std::string unsealed = dir.Write("unsealed.img", {0x10, 0x20, 0x30, 0x40});
    // A pipe waiting for its client: the check connects to it, and a read
    // would then wait for bytes that never come.
    const std::string pipe_name = "\\\\.\\pipe\\kormelt-image-" + std::to_string(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeA(pipe_name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT,
                                           1, 4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    struct Case {
        const char *what;
        std::string path;
        int32_t status;
    };
    const Case cases[] = {
        {"NUL", "NUL", FILE_CHECK_OPEN_FAILED},
        {"directory", dir.path(), FILE_CHECK_OPEN_FAILED},
        {"named pipe", pipe_name, FILE_CHECK_OPEN_FAILED},
        {"missing file", dir.path() + "\\missing.img", FILE_CHECK_OPEN_FAILED},
        {"sealed file", sealed, STATUS_OK},
        {"unsealed file", unsealed, STATUS_CRC},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Check check;
        check.path = c.path;
        const HANDLE thread = CreateThread(nullptr, 0, RunCheck, &check, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        const DWORD waited = WaitForSingleObject(thread, CALL_LIMIT_MS);
        if (waited != WAIT_OBJECT_0) {
            // Hanging up the pipe ends a read that waits on it.
            DisconnectNamedPipe(server);
            WaitForSingleObject(thread, INFINITE);
            ADD_FAILURE() << "no answer within " << CALL_LIMIT_MS << " ms";
        }
        CloseHandle(thread);
        EXPECT_EQ(check.status, c.status);
    }
    CloseHandle(server);
}

}  // namespace
