// Feeds arbitrary text to the tool's Intel HEX reader. It must never crash or
// run past its buffers; a text it accepts gives a nonempty image within the
// bound from its lowest address, which written back as HEX from there reads
// as the same image; a text it refuses comes with a reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/kormelt/image.h"
#include "tools/kormelt/image_builder.h"
#include "tools/kormelt/intel_hex.h"

using namespace kormelt::tool;

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

// The image as records from base on, an address record before the first
// and at each 64 KiB boundary; records never cross one.
std::string AsHex(const Bytes &image, uint64_t base) {
    std::string text;
    for (size_t at = 0; at < image.size();) {
        const uint64_t address = base + at;
        if (at == 0 || address % 0x10000 == 0) {
            const uint8_t linear[2] = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16)};
            text += Record(0, 0x04, linear, 2);
        }
        size_t count = image.size() - at < RECORD_BYTES ? image.size() - at : RECORD_BYTES;
        if (address % 0x10000 + count > 0x10000) {
            count = static_cast<size_t>(0x10000 - address % 0x10000);
        }
        text += Record(static_cast<uint32_t>(address & 0xFFFF), 0x00, image.data() + at, count);
        at += count;
    }
    return text + ":00000001FF\n";
}

bool Read(const std::string &text, Layout *layout, std::string *error) {
    ImageBuilder builder;
    InputDetails details;
    if (!kormelt::tool::ReadIntelHex(text, &builder, &details, error)) {
        return false;
    }
    *layout = builder.Lay({BaseChoice::Kind::Lowest, 0});
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    Layout layout;
    std::string error;
    if (!Read(text, &layout, &error)) {
        if (error.empty()) {
            std::abort();
        }
        return 0;
    }
    // From its lowest address an accepted text always fits.
    if (layout.problem != LayoutProblem::None || layout.data.empty() ||
        layout.data.size() > kormelt::tool::IMAGE_MAX_BYTES || layout.base >= (uint64_t{1} << 32)) {
        std::abort();
    }
    if (layout.data.size() <= ROUND_TRIP_MAX_BYTES) {
        Layout again;
        if (!Read(AsHex(layout.data, layout.base), &again, &error) || again.base != layout.base ||
            again.data != layout.data) {
            std::abort();
        }
    }
    return 0;
}
