#include "tools/common/replace_file.h"

#include <windows.h>

#include "tools/common/win32_error.h"
#include "tools/common/win32_file.h"

namespace kormelt::tool {
namespace {

// WriteFile takes a 32-bit count; images are far smaller, but the loop
// does not rely on that.
constexpr size_t WRITE_CHUNK_BYTES = 1 << 20;

}  // namespace

bool WriteFileReplacing(const std::string &path, const std::vector<uint8_t> &bytes, std::string *error,
                        bool (*stop)()) {
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES && !IsDiskFile(path, error)) {
        *error += ": an image is written only as a regular file";
        return false;
    }
    const std::string temp = path + ".tmp" + std::to_string(GetCurrentProcessId());
    const HANDLE handle =
        CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = Win32ErrorText("cannot create a file next to " + path, GetLastError());
        return false;
    }
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const size_t left = bytes.size() - done;
        const DWORD chunk = static_cast<DWORD>(left < WRITE_CHUNK_BYTES ? left : WRITE_CHUNK_BYTES);
        DWORD written = 0;
        ok = WriteFile(handle, bytes.data() + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    ok = ok && FlushFileBuffers(handle);
    DWORD code = ok ? ERROR_SUCCESS : GetLastError();
    if (!CloseHandle(handle) && ok) {
        ok = false;
        code = GetLastError();
    }
    if (ok && stop != nullptr && stop()) {
        ok = false;
        code = ERROR_CANCELLED;
    }
    if (ok && !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        code = GetLastError();
    }
    if (!ok) {
        *error = Win32ErrorText("cannot write " + path, code);
        // The temporary file is ours and useless now; a failure to remove it
        // changes nothing about the error already reported.
        DeleteFileA(temp.c_str());
    }
    return ok;
}

}  // namespace kormelt::tool
