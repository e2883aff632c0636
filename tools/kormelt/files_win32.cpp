#include "tools/kormelt/files.h"

#include <windows.h>

#include "tools/common/path_kind.h"
#include "tools/common/replace_file.h"
#include "tools/common/win32_error.h"
#include "tools/common/win32_file.h"
#include "tools/kormelt/read_chunks.h"

namespace kormelt::tool {

bool SameFile(const std::string &a, const std::string &b) {
    // Opened for no access at all, which touches no device; directories
    // need the backup flag to be opened.
    auto identify = [](const std::string &path, BY_HANDLE_FILE_INFORMATION *info) {
        const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        const bool known = GetFileInformationByHandle(handle, info) != 0;
        CloseHandle(handle);  // opened without access: nothing to lose
        return known;
    };
    BY_HANDLE_FILE_INFORMATION first{};
    BY_HANDLE_FILE_INFORMATION second{};
    return identify(a, &first) && identify(b, &second) && first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

ReadOutcome ReadRegularFile(const std::string &path, size_t max_bytes, std::vector<uint8_t> *out,
                            std::string *error, bool (*stop)()) {
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        *error = Win32ErrorText("cannot open " + path, GetLastError());
        return ReadOutcome::Unreadable;
    }
    if (!IsDiskFile(path, error)) {
        return ReadOutcome::NotRegular;
    }
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = Win32ErrorText("cannot open " + path, GetLastError());
        return ReadOutcome::Unreadable;
    }
    ReadOutcome outcome = ReadOutcome::Ok;
    const DWORD type = GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        *error = NotRegularText(path, PathKindOfFileType(type));
        outcome = ReadOutcome::NotRegular;
    }
    out->clear();
    if (outcome == ReadOutcome::Ok) {
        outcome = ReadChunks(max_bytes, out, stop, [&](uint8_t *buffer, size_t size) -> long long {
            DWORD got = 0;
            if (!ReadFile(handle, buffer, static_cast<DWORD>(size), &got, nullptr)) {
                *error = Win32ErrorText("cannot read " + path, GetLastError());
                return READ_FAILED;
            }
            return got;
        });
    }
    CloseHandle(handle);  // opened for reading only: nothing to lose on close
    return outcome;
}

bool MakePrivateCopy(const std::vector<uint8_t> &bytes, std::string *path, std::string *error) {
    char dir[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathA(sizeof dir, dir);
    if (length == 0 || length > MAX_PATH) {
        *error = Win32ErrorText("cannot find the temporary directory for a private copy of the image", GetLastError());
        return false;
    }
    const std::string file = std::string(dir) + "kormelt-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(GetTickCount64()) + ".img";
    std::string reason;
    if (!WriteFileReplacing(file, bytes, &reason)) {
        *error = "cannot make a private copy of the image (" + reason + ")";
        RemovePrivateCopy(file);
        return false;
    }
    // Nobody writes it once it is made.
    if (!SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_TEMPORARY)) {
        *error = Win32ErrorText("cannot make the private copy " + file + " read-only", GetLastError());
        RemovePrivateCopy(file);
        return false;
    }
    *path = file;
    return true;
}

void RemovePrivateCopy(const std::string &path) {
    // Both fail only if the copy was never made or is gone already; there is
    // nothing further to do about either.
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

}  // namespace kormelt::tool
