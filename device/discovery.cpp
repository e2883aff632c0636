#include <cstring>

#include "device/api.h"
#include "device/call_lock.h"
#include "device/current_port.h"
#include "link/frame.h"
#include "protocol/protocol.h"

namespace kormelt {

PortRecord *CurrentPort = nullptr;

namespace {

// The first two reply bytes are not examined.
bool IsDeviceReply(const uint8_t *reply, int32_t length) {
    return length == static_cast<int32_t>(IDENTIFY_REPLY_BYTES) &&
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
    const CallLock lock;
    // A port still open from an earlier Open would otherwise leak its record
    // and stay claimed; the new search starts from no port.
    ReleaseCurrentPort();

    uint8_t request[REQUEST_BUFFER_BYTES] = {CMD_IDENTIFY};
    uint8_t reply[REPLY_BUFFER_BYTES];
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        if (callback != nullptr && callback(SearchPercent(n)) != 0) {
            return STATUS_CANCELLED;
        }
        if (PortOpen(&CurrentPort, n) != STATUS_OK) {
            continue;
        }
        int32_t reply_length = 0;
        const int32_t status =
            FrameExchange(CurrentPort, request, IDENTIFY_REQUEST_BYTES, reply, sizeof reply, &reply_length);
        if (status == STATUS_OK && IsDeviceReply(reply, reply_length)) {
            return STATUS_OK;
        }
        ReleaseCurrentPort();
    }
    if (callback != nullptr) {
        callback(PERCENT_DONE);  // the final report cannot cancel anything
    }
    return STATUS_NOT_FOUND;
}

extern "C" int32_t KORMELT_CALL KORMELT_Close(void) {
    const CallLock lock;
    ReleaseCurrentPort();
    return STATUS_OK;
}
