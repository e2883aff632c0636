// Whether a name is a file on disk, for the tools' refusals of devices and
// pipes, in the kinds of path_kind.h.
#pragma once

#include <windows.h>

#include <string>

#include "tools/common/path_kind.h"
#include "tools/common/win32_error.h"

namespace kormelt::tool {

// What an open handle that is no disk file stands for, by GetFileType.
inline PathKind PathKindOfFileType(DWORD type) {
    switch (type) {
    case FILE_TYPE_DISK:
        return PathKind::RegularFile;
    case FILE_TYPE_CHAR:
        return PathKind::CharacterDevice;  // NUL, a COM port, a console
    case FILE_TYPE_PIPE:
        return PathKind::Pipe;
    default:
        return PathKind::Unknown;
    }
}

// Whether an existing name is a file on disk rather than a directory, a
// device (NUL, COM1) or a pipe. Opened for no access at all, which touches
// no device; false with a reason otherwise.
inline bool IsDiskFile(const std::string &path, std::string *error) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *error = NotRegularText(path, PathKind::Directory);
        return false;
    }
    const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = Win32ErrorText("cannot open " + path, GetLastError());
        return false;
    }
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);  // opened without access: nothing to lose
    if (type != FILE_TYPE_DISK) {
        *error = NotRegularText(path, PathKindOfFileType(type));
        return false;
    }
    return true;
}

}  // namespace kormelt::tool
