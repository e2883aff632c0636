#include <cstring>

#include "device/api.h"
#include "device/current_port.h"
#include "link/frame.h"

namespace kormelt {

PortRecord *CurrentPort = nullptr;

namespace {

constexpr uint32_t SEARCH_FIRST_PORT = 1;
constexpr uint32_t SEARCH_LAST_PORT = 7;
constexpr int32_t SEARCH_PROGRESS_STEP = 12;  // percent per port tried
constexpr int32_t PROGRESS_DONE = 100;        // percent

constexpr char DEVICE_ID[] = "kormelt";
constexpr size_t DEVICE_ID_LENGTH = sizeof DEVICE_ID - 1;  // no terminator on the wire
constexpr size_t DEVICE_ID_OFFSET = 2;                     // first two reply bytes are not examined
constexpr int32_t IDENTIFY_REPLY_LENGTH = 9;               // bytes of payload

bool IsDeviceReply(const uint8_t *reply, int32_t length) {
    return length == IDENTIFY_REPLY_LENGTH &&
           std::memcmp(reply + DEVICE_ID_OFFSET, DEVICE_ID, DEVICE_ID_LENGTH) == 0;
}

void ReleaseCurrentPort() {
    if (CurrentPort != nullptr) {
        PortClose(CurrentPort);  // close always completes; its status says nothing new here
        CurrentPort = nullptr;
    }
}

}  // namespace

}  // namespace kormelt

using namespace kormelt;

extern "C" int32_t KORMELT_CALL KORMELT_Open(ProgressCallback callback) {
    // A port still open from an earlier Open would otherwise leak its record
    // and stay claimed; the new search starts from no port.
    ReleaseCurrentPort();

    uint8_t request[REQUEST_BUFFER_BYTES] = {CMD_IDENTIFY};
    uint8_t reply[REPLY_BUFFER_BYTES];
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        const int32_t progress = SEARCH_PROGRESS_STEP * static_cast<int32_t>(n - SEARCH_FIRST_PORT);
        if (callback != nullptr && callback(progress) != 0) {
            return STATUS_CANCELLED;
        }
        if (PortOpen(&CurrentPort, n) != STATUS_OK) {
            continue;
        }
        int32_t reply_length = 0;
        const int32_t status = FrameExchange(CurrentPort, request, 1, reply, sizeof reply, &reply_length);
        if (status == STATUS_OK && IsDeviceReply(reply, reply_length)) {
            return STATUS_OK;
        }
        ReleaseCurrentPort();
    }
    if (callback != nullptr) {
        callback(PROGRESS_DONE);  // the final report cannot cancel anything
    }
    return STATUS_NOT_FOUND;
}

extern "C" int32_t KORMELT_CALL KORMELT_Close(void) {
    ReleaseCurrentPort();
    return STATUS_OK;
}
