#include <cstdio>

#include "device/api.h"
#include "device/call_lock.h"
#include "device/image_open.h"
#include "protocol/crc16.h"
#include "protocol/status_names.h"

namespace {
constexpr size_t CHECK_CHUNK_BYTES = 1024;
// The stream's own buffer: fewer, larger reads from the file system beneath
// the 1024-byte chunks, which matters for images of many megabytes.
constexpr size_t CHECK_STREAM_BUFFER_BYTES = 64 * 1024;
}

extern "C" int32_t KORMELT_CALL KORMELT_CheckCRC(const char *path) {
    const kormelt::CallLock lock;
    if (path == nullptr) {
        return FILE_CHECK_OPEN_FAILED;
    }
    std::FILE *file = kormelt::OpenImageFile(path);
    if (file == nullptr) {
        return FILE_CHECK_OPEN_FAILED;
    }
    // Failure leaves the runtime's default buffer, which only reads slower.
    (void)std::setvbuf(file, nullptr, _IOFBF, CHECK_STREAM_BUFFER_BYTES);
    unsigned char chunk[CHECK_CHUNK_BYTES];
    uint16_t reg = kormelt::CRC_INIT;
    size_t got = 0;
    // A read error ends the reading like the end of the file: the CRC of what
    // was read decides, and a truncated image cannot come out zero by chance
    // more often than any other corrupted one.
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        reg = kormelt::CrcUpdateBytes(chunk, got, reg);
    }
    std::fclose(file);  // opened for reading only: nothing to lose on close
    return reg == 0 ? STATUS_OK : STATUS_CRC;
}
