// Feeds arbitrary text to the tool's Intel HEX reader. It must never crash or
// run past its buffers; a text it accepts gives a nonempty image within the
// bound from its lowest address, which written back as HEX from there reads
// as the same image; a text it refuses comes with a reason.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/format_round_trip.h"
#include "tests/support/hex_records.h"
#include "tools/kormelt/intel_hex.h"

using namespace kormelt::fuzz;

namespace {

// Written back with 16-byte records under type 04 bases.
constexpr size_t RECORD_BYTES = 16;

std::string Record(uint32_t address, uint8_t type, const uint8_t *data, size_t count) {
    Bytes bytes = {static_cast<uint8_t>(count), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                   type};
    bytes.insert(bytes.end(), data, data + count);
    return HexRecordLine(":", bytes, IntelHexChecksum) + "\n";
}

// The image as records from base on, an address record before the first
// and at each 64 KiB boundary; records never cross one.
std::string AsHex(const Taken &taken) {
    const Bytes &image = taken.layout.data;
    std::string text;
    for (size_t at = 0; at < image.size();) {
        const uint64_t address = taken.layout.base + at;
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

// Type 04 bases reach no further than 32 bits.
bool BaseFits(const Taken &taken) { return taken.layout.base < (uint64_t{1} << 32); }

const InputFormat<std::string> INTEL_HEX = {kormelt::tool::ReadIntelHex, "record", BaseFits, AsHex, false};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CheckReader(INTEL_HEX, std::string(reinterpret_cast<const char *>(data), size));
    return 0;
}
