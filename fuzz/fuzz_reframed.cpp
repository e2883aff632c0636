// Wraps the fuzzer's bytes in a valid frame, so the CRC test is passed and
// the decoder's stuffing and storage are exercised: the decoded payload must
// be the bytes that were framed. The first input byte chooses how many of
// the following bytes go out as noise before the frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "device/api.h"
#include "link/frame.h"
#include "protocol/status_names.h"
#include "tests/support/fake_port.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    size_t noise = data[0] % 16;
    data += 1;
    size -= 1;
    if (noise >= size) {
        noise = 0;
    }
    const uint8_t *payload = data + noise;
    size_t length = size - noise;
    if (length > kormelt::FRAME_MAX_PAYLOAD) {
        length = kormelt::FRAME_MAX_PAYLOAD;
    }

    fake::Reset();
    fake::Line line;
    for (size_t i = 0; i < noise; ++i) {
        // Noise never holds a flag, so the frame that follows is not disturbed.
        line.incoming.push_back(data[i] == kormelt::FRAME_FLAG ? 0x00 : data[i]);
    }
    uint8_t frame[kormelt::FRAME_TX_CAPACITY];
    const size_t frame_length = kormelt::FrameEncode(payload, length, frame, sizeof frame);
    if (frame_length == 0) {
        std::abort();
    }
    line.incoming.insert(line.incoming.end(), frame, frame + frame_length);
    fake::Attach(1, &line);
    kormelt::PortRecord *port = nullptr;
    if (kormelt::PortOpen(&port, 1) != STATUS_OK) {
        std::abort();
    }

    constexpr size_t CAPACITY = 256;
    uint8_t reply[CAPACITY];
    int32_t reply_length = -1;
    const int32_t status = kormelt::FrameReceive(port, reply, CAPACITY, &reply_length);
    if (length == 0) {
        // Only the two CRC bytes: a short frame, dropped; nothing follows.
        if (status != STATUS_TIMEOUT) {
            std::abort();
        }
    } else if (length + 2 > CAPACITY) {
        if (status != STATUS_CRC || reply_length != 0) {
            std::abort();
        }
    } else if (status != STATUS_OK || reply_length != static_cast<int32_t>(length) ||
               std::memcmp(reply, payload, length) != 0) {
        std::abort();
    }
    kormelt::PortClose(port);
    return 0;
}
