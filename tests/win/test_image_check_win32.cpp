// The image check of the Windows library: only a file on a disk is read.
// NUL, a directory or a pipe is refused at once with -1, like a file that
// cannot be opened; a pipe read as a file would wait for its writer for ever.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device/api.h"
#include "protocol/crc16.h"
#include "protocol/status_names.h"

namespace {

// Far longer than a check of a small file takes; a check still running then
// is blocked.
constexpr DWORD CALL_LIMIT_MS = 5000;

// A fresh directory under the temporary directory, removed with its files.
class TempDir {
public:
    TempDir() {
        char base[MAX_PATH + 1] = {};
        const DWORD length = GetTempPathA(sizeof base, base);
        EXPECT_GT(length, 0u);
        path_ = std::string(base) + "kormelt-image-" + std::to_string(GetCurrentProcessId());
        EXPECT_TRUE(CreateDirectoryA(path_.c_str(), nullptr)) << GetLastError();
    }
    ~TempDir() {
        for (const std::string &file : files_) {
            DeleteFileA(file.c_str());
        }
        RemoveDirectoryA(path_.c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string Write(const char *name, const std::vector<uint8_t> &bytes) {
        const std::string file = path_ + "\\" + name;
        files_.push_back(file);
        const HANDLE handle =
            CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        EXPECT_EQ(written, bytes.size());
        CloseHandle(handle);
        return file;
    }

private:
    std::string path_;
    std::vector<std::string> files_;
};

std::vector<uint8_t> Sealed(std::vector<uint8_t> data) {
    const uint16_t crc = kormelt::CrcBlock(data.data(), data.size());
    data.push_back(static_cast<uint8_t>(crc >> 8));
    data.push_back(static_cast<uint8_t>(crc & 0xFF));
    return data;
}

struct Check {
    std::string path;
    int32_t status = 99;
};

DWORD WINAPI RunCheck(LPVOID argument) {
    Check *check = static_cast<Check *>(argument);
    check->status = KORMELT_CheckCRC(check->path.c_str());
    return 0;
}

TEST(Win32ImageCheck, OnlyAFileOnADiskIsReadTheRestGivesMinusOneAtOnce) {
    TempDir dir;
    const std::string sealed = dir.Write("sealed.img", Sealed({0x10, 0x20, 0x30, 0x40}));
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
