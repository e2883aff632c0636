// Feeds arbitrary text to the tool's S-record reader. It must never crash or
// run past its buffers; a text it accepts gives a nonempty image within the
// bound from its lowest address, which written back as S3 records from
// there reads as the same image; a text it refuses comes with a reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/kormelt/image.h"
#include "tools/kormelt/image_builder.h"
#include "tools/kormelt/srecord.h"

using namespace kormelt::tool;

namespace {

// Written back only for images small enough to keep the fuzzer fast.
constexpr size_t ROUND_TRIP_MAX_BYTES = 64 * 1024;
constexpr size_t RECORD_BYTES = 16;
constexpr uint64_t S3_SPACE = uint64_t{1} << 32;

// One record with a 4-byte address (S3, S7) and its checksum.
std::string Record(char type, uint32_t address, const uint8_t *data, size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    const uint8_t head[5] = {static_cast<uint8_t>(count + 5), static_cast<uint8_t>(address >> 24),
                             static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                             static_cast<uint8_t>(address)};
    uint8_t sum = 0;
    std::string line = std::string("S") + type;
    for (size_t i = 0; i < 5 + count; ++i) {
        const uint8_t b = i < 5 ? head[i] : data[i - 5];
        sum = static_cast<uint8_t>(sum + b);
        line += digits[b >> 4];
        line += digits[b & 0x0F];
    }
    const auto check = static_cast<uint8_t>(~sum);
    line += digits[check >> 4];
    line += digits[check & 0x0F];
    return line + "\n";
}

std::string AsSRecords(const Bytes &image, uint64_t base) {
    std::string text;
    for (size_t at = 0; at < image.size(); at += RECORD_BYTES) {
        const size_t count = image.size() - at < RECORD_BYTES ? image.size() - at : RECORD_BYTES;
        text += Record('3', static_cast<uint32_t>(base + at), image.data() + at, count);
    }
    return text + Record('7', 0, nullptr, 0);
}

bool Read(const std::string &text, Layout *layout, std::string *error) {
    ImageBuilder builder;
    InputDetails details;
    if (!kormelt::tool::ReadSRecords(text, &builder, &details, error)) {
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
    // No record type reaches beyond 32-bit addresses, and from its lowest
    // address an accepted text always fits.
    if (layout.problem != LayoutProblem::None || layout.data.empty() ||
        layout.data.size() > kormelt::tool::IMAGE_MAX_BYTES || layout.base + layout.data.size() > S3_SPACE) {
        std::abort();
    }
    if (layout.data.size() <= ROUND_TRIP_MAX_BYTES) {
        Layout again;
        if (!Read(AsSRecords(layout.data, layout.base), &again, &error) || again.base != layout.base ||
            again.data != layout.data) {
            std::abort();
        }
    }
    return 0;
}
