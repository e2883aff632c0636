// Feeds arbitrary text to the tool's Intel HEX reader. It must never crash or
// run past its buffers; a text it accepts gives a nonempty image within the
// bound, which written back as HEX reads as the same image; a text it
// refuses comes with a reason and leaves the output alone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/kormelt/image.h"
#include "tools/kormelt/intel_hex.h"

using kormelt::tool::Bytes;

namespace {

// Written back with 16-byte records under type 04 bases, only for images
// small enough to keep the fuzzer fast.
constexpr size_t ROUND_TRIP_MAX_BYTES = 64 * 1024;
constexpr size_t RECORD_BYTES = 16;

std::string Record(uint32_t address, uint8_t type, const uint8_t *data, size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    uint8_t body[4 + RECORD_BYTES] = {static_cast<uint8_t>(count), static_cast<uint8_t>(address >> 8),
                                      static_cast<uint8_t>(address), type};
    uint8_t sum = 0;
    std::string line = ":";
    for (size_t i = 0; i < 4 + count; ++i) {
        const uint8_t b = i < 4 ? body[i] : data[i - 4];
        sum = static_cast<uint8_t>(sum + b);
        line += digits[b >> 4];
        line += digits[b & 0x0F];
    }
    const uint8_t check = static_cast<uint8_t>(0x100 - sum);
    line += digits[check >> 4];
    line += digits[check & 0x0F];
    return line + "\n";
}

std::string AsHex(const Bytes &image) {
    std::string text;
    for (size_t at = 0; at < image.size(); at += RECORD_BYTES) {
        if (at % 0x10000 == 0) {
            const uint8_t base[2] = {static_cast<uint8_t>(at >> 24), static_cast<uint8_t>(at >> 16)};
            text += Record(0, 0x04, base, 2);
        }
        const size_t count = image.size() - at < RECORD_BYTES ? image.size() - at : RECORD_BYTES;
        text += Record(static_cast<uint32_t>(at & 0xFFFF), 0x00, image.data() + at, count);
    }
    return text + ":00000001FF\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    Bytes image{0x5A};
    std::string error;
    if (!kormelt::tool::ParseIntelHex(text, &image, &error)) {
        if (error.empty() || image != Bytes{0x5A}) {
            std::abort();
        }
        return 0;
    }
    if (image.empty() || image.size() > kormelt::tool::IMAGE_MAX_BYTES) {
        std::abort();
    }
    if (image.size() <= ROUND_TRIP_MAX_BYTES) {
        Bytes again;
        if (!kormelt::tool::ParseIntelHex(AsHex(image), &again, &error) || again != image) {
            std::abort();
        }
    }
    return 0;
}
