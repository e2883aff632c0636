// Feeds arbitrary text to the tool's S-record reader. It must never crash or
// run past its buffers; a text it accepts gives a nonempty image within the
// bound from its lowest address, which written back as S3 records from
// there reads as the same image; a text it refuses comes with a reason.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/format_round_trip.h"
#include "tests/support/hex_records.h"
#include "tools/kormelt/srecord.h"

using namespace kormelt::fuzz;

namespace {

constexpr size_t RECORD_BYTES = 16;
constexpr uint64_t S3_SPACE = uint64_t{1} << 32;

// One record with a 4-byte address (S3, S7) and its checksum.
std::string Record(char type, uint32_t address, const uint8_t *data, size_t count) {
    Bytes bytes = {static_cast<uint8_t>(count + 5), static_cast<uint8_t>(address >> 24),
                   static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                   static_cast<uint8_t>(address)};
    bytes.insert(bytes.end(), data, data + count);
    return HexRecordLine(std::string("S") + type, bytes, SRecordChecksum) + "\n";
}

std::string AsSRecords(const Taken &taken) {
    const Bytes &image = taken.layout.data;
    std::string text;
    for (size_t at = 0; at < image.size(); at += RECORD_BYTES) {
        const size_t count = image.size() - at < RECORD_BYTES ? image.size() - at : RECORD_BYTES;
        text += Record('3', static_cast<uint32_t>(taken.layout.base + at), image.data() + at, count);
    }
    return text + Record('7', 0, nullptr, 0);
}

// No record type reaches beyond 32-bit addresses.
bool WithinS3(const Taken &taken) { return taken.layout.base + taken.layout.data.size() <= S3_SPACE; }

const InputFormat<std::string> S_RECORDS = {kormelt::tool::ReadSRecords, "record", WithinS3, AsSRecords, false};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CheckReader(S_RECORDS, std::string(reinterpret_cast<const char *>(data), size));
    return 0;
}
