#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>

#include "device/image_open.h"

namespace kormelt {

std::FILE *OpenImageFile(const char *path) {
    // Shared for reading and writing, as the C runtime's own fopen shares a
    // file it opens for reading.
    const HANDLE handle = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    // Only a file on a disk is an image: NUL, a console, a COM port or a pipe
    // is not. A directory opens only with FILE_FLAG_BACKUP_SEMANTICS, which
    // is not asked for; its attribute is checked all the same.
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        (void)::CloseHandle(handle);  // only looked at: nothing to report
        return nullptr;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        (void)::CloseHandle(handle);
        return nullptr;
    }
    std::FILE *file = ::_fdopen(fd, "rb");
    if (file == nullptr) {
        (void)::_close(fd);  // closes the handle with it
    }
    return file;
}

}  // namespace kormelt
