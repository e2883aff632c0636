// A temporary directory with files for the Windows test programs, and (from
// tests/support/bytes.h) the sealing of the images they check.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/bytes.h"

// A fresh directory under the temporary directory, removed with its files.
class TempDir {
public:
    TempDir() {
        static int made = 0;  // directories of this process so far
        char base[MAX_PATH + 1] = {};
        const DWORD length = GetTempPathA(sizeof base, base);
        EXPECT_GT(length, 0u);
        path_ = std::string(base) + "kormelt-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(++made);
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
