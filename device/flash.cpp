#include <cstdio>
#include <cstring>
#include <iterator>

#include "device/api.h"
#include "device/call_lock.h"
#include "device/current_port.h"
#include "device/image_file.h"
#include "device/image_open.h"
#include "link/frame.h"
#include "protocol/protocol.h"

namespace kormelt {
namespace {

size_t ReadImage(void *buffer, size_t size, size_t count, std::FILE *file) {
    return std::fread(buffer, size, count, file);
}
int ImageError(std::FILE *file) { return std::ferror(file); }
int CloseImage(std::FILE *file) { return std::fclose(file); }

// The device address is 32 bits wide: no image may reach past it.
constexpr uint64_t IMAGE_MAX_BYTES = uint64_t{1} << 32;

static_assert(PROGRAM_REQUEST_BYTES <= REQUEST_BUFFER_BYTES, "packet fits the request buffer");

bool Cancelled(ProgressCallback callback, int32_t percent) {
    return callback != nullptr && callback(percent) != 0;
}

void ReportDone(ProgressCallback callback) {
    if (callback != nullptr) {
        callback(PERCENT_DONE);  // the final report cannot cancel anything
    }
}

// 100 x sent / size in 64 bits, so no image the address can hold overflows.
int32_t UploadPercent(uint64_t sent, uint64_t size) {
    const uint64_t percent = sent * PERCENT_DONE / size;
    return static_cast<int32_t>(percent < PERCENT_DONE ? percent : PERCENT_DONE);
}

// Size of an open file, leaving it positioned at its start; -1 when the
// runtime cannot tell.
long FileSize(std::FILE *file) {
    if (std::fseek(file, 0, SEEK_END) != 0) {
        return -1;
    }
    const long size = std::ftell(file);
    if (std::fseek(file, 0, SEEK_SET) != 0) {
        return -1;
    }
    return size;
}

int32_t Upload(std::FILE *file, ProgressCallback callback) {
    const long size = FileSize(file);
    // An empty image has nothing to program (and would divide the progress
    // by zero); one larger than the 32-bit address space cannot be placed.
    if (size <= 0 || static_cast<uint64_t>(size) > IMAGE_MAX_BYTES) {
        return STATUS_IMAGE_OPEN;
    }
    uint8_t request[REQUEST_BUFFER_BYTES] = {CMD_PROGRAM};
    uint8_t reply[REPLY_BUFFER_BYTES];
    uint64_t address = 0;
    for (;;) {
        const size_t got = ImageFileCall.read(request + PACKET_DATA_OFFSET, 1, PACKET_DATA_BYTES, file);
        if (ImageFileCall.error(file) != 0) {
            return STATUS_IMAGE_OPEN;  // the packets already sent stand; nothing is retried
        }
        // The image ends with the read that brings nothing: no packet goes out
        // past the last data.
        if (got == 0) {
            return STATUS_OK;
        }
        if (address + got > IMAGE_MAX_BYTES) {
            return STATUS_IMAGE_OPEN;  // the file grew past the address space while uploading
        }
        // The tail of a short last packet holds what erased flash holds, not
        // bytes left over from the packet before.
        std::memset(request + PACKET_DATA_OFFSET + got, ERASED_FLASH_BYTE, PACKET_DATA_BYTES - got);
        if (Cancelled(callback, UploadPercent(address, static_cast<uint64_t>(size)))) {
            return STATUS_CANCELLED;
        }
        PutPacketAddress(request, static_cast<uint32_t>(address));
        int32_t reply_length = 0;
        const int32_t status =
            FrameExchange(CurrentPort, request, PROGRAM_REQUEST_BYTES, reply, sizeof reply, &reply_length);
        if (status != STATUS_OK) {
            return status;
        }
        address += PACKET_DATA_BYTES;
    }
}

}  // namespace

namespace {

constexpr ImageFileCalls RealImageFileCalls() {
    ImageFileCalls calls;
    calls.open = OpenImageFile;
    calls.read = ReadImage;
    calls.error = ImageError;
    calls.close = CloseImage;
    return calls;
}

}  // namespace

const ImageFileCalls IMAGE_FILE_REAL_CALLS = RealImageFileCalls();
ImageFileCalls ImageFileCall = IMAGE_FILE_REAL_CALLS;

}  // namespace kormelt

using namespace kormelt;

// With no port open the device calls would hand a null record to the line;
// they refuse at once instead, before any report, file or request.

extern "C" int32_t KORMELT_CALL KORMELT_Erase(ProgressCallback callback) {
    const CallLock lock;
    if (CurrentPort == nullptr) {
        return STATUS_PORT_NOT_OPEN;
    }
    uint8_t request[REQUEST_BUFFER_BYTES] = {CMD_ERASE};
    uint8_t reply[REPLY_BUFFER_BYTES];
    for (size_t position = 0; position < std::size(ERASE_BLOCKS); ++position) {
        if (Cancelled(callback, ErasePercent(position))) {
            return STATUS_CANCELLED;
        }
        request[ERASE_BLOCK_OFFSET] = ERASE_BLOCKS[position];
        int32_t reply_length = 0;
        const int32_t status =
            FrameExchange(CurrentPort, request, ERASE_REQUEST_BYTES, reply, sizeof reply, &reply_length);
        if (status != STATUS_OK) {
            return status;
        }
    }
    ReportDone(callback);
    return STATUS_OK;
}

extern "C" int32_t KORMELT_CALL KORMELT_Programm(const char *path, ProgressCallback callback) {
    const CallLock lock;
    if (CurrentPort == nullptr) {
        return STATUS_PORT_NOT_OPEN;
    }
    if (path == nullptr) {
        return STATUS_IMAGE_OPEN;
    }
    std::FILE *file = ImageFileCall.open(path);
    if (file == nullptr) {
        return STATUS_IMAGE_OPEN;
    }
    const int32_t status = Upload(file, callback);
    (void)ImageFileCall.close(file);  // opened for reading only: nothing to lose on close
    if (status == STATUS_OK) {
        ReportDone(callback);
    }
    return status;
}

extern "C" int32_t KORMELT_CALL KORMELT_Restart(void) {
    const CallLock lock;
    if (CurrentPort == nullptr) {
        return STATUS_PORT_NOT_OPEN;
    }
    const uint8_t request[REQUEST_BUFFER_BYTES] = {CMD_RESTART};
    uint8_t reply[REPLY_BUFFER_BYTES];
    int32_t reply_length = 0;
    return FrameExchange(CurrentPort, request, RESTART_REQUEST_BYTES, reply, sizeof reply, &reply_length);
}
