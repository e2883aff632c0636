// Feeds arbitrary bytes to the tool's ELF reader, which must check every
// offset and size against the file before it reads: it must never crash or
// read past the buffer. A file it accepts gives a nonempty image within the
// bound from its lowest address, which written back as an ELF file of one
// segment per range of data reads as the same image; a file it refuses
// comes with a reason.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "fuzz/format_round_trip.h"
#include "tools/kormelt/elf_image.h"

using namespace kormelt::fuzz;

namespace {

// A 64-bit little-endian ELF file: its header and program header sizes.
constexpr size_t HEADER_BYTES = 64;
constexpr size_t PHDR_BYTES = 56;

void Put(Bytes *file, size_t at, size_t width, uint64_t value) {
    for (size_t i = 0; i < width; ++i) {
        (*file)[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

Bytes AsElf(const Taken &taken) {
    const Layout &layout = taken.layout;
    const std::vector<AddressRange> &ranges = taken.ranges;
    Bytes file(HEADER_BYTES + PHDR_BYTES * ranges.size(), 0);
    const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 2, 1, 1};
    std::copy(std::begin(ident), std::end(ident), file.begin());
    Put(&file, 16, 2, 2);  // ET_EXEC
    Put(&file, 20, 4, 1);
    Put(&file, 32, 8, HEADER_BYTES);
    Put(&file, 54, 2, PHDR_BYTES);
    Put(&file, 56, 2, ranges.size());
    for (size_t n = 0; n < ranges.size(); ++n) {
        const size_t at = HEADER_BYTES + n * PHDR_BYTES;
        Put(&file, at, 4, 1);  // PT_LOAD
        Put(&file, at + 8, 8, file.size());
        Put(&file, at + 24, 8, ranges[n].first);
        Put(&file, at + 32, 8, ranges[n].bytes);
        Put(&file, at + 40, 8, ranges[n].bytes);
        const auto from = layout.data.begin() + static_cast<std::ptrdiff_t>(ranges[n].first - layout.base);
        file.insert(file.end(), from, from + static_cast<std::ptrdiff_t>(ranges[n].bytes));
    }
    return file;
}

// The image starts with the first segment's data.
bool StartsWithASegment(const Taken &taken) {
    return !taken.ranges.empty() && taken.ranges.front().first == taken.layout.base;
}

const InputFormat<Bytes> ELF = {kormelt::tool::ReadElf, "segment", StartsWithASegment, AsElf, true};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CheckReader(ELF, Bytes(data, data + size));
    return 0;
}
