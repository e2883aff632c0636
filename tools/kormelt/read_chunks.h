// The loop of ReadRegularFile that both platforms share once the file is
// open and judged: chunk by chunk to its end, asking stop before each read,
// and never past max_bytes, since the file may have grown since it was
// measured.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/kormelt/files.h"

namespace kormelt::tool {

constexpr size_t READ_CHUNK_BYTES = 64 * 1024;

// What a read gives besides a count of bytes (0 at the end of the file).
constexpr long long READ_FAILED = -1;       // the read wrote the system's reason
constexpr long long READ_INTERRUPTED = -2;  // a signal came first; stop is asked again

// Appends the file to out (emptied first) through read(buffer, size), the
// platform's read of the next bytes into buffer.
template <typename Read>
ReadOutcome ReadChunks(size_t max_bytes, std::vector<uint8_t> *out, bool (*stop)(), Read read) {
    out->clear();
    std::vector<uint8_t> chunk(READ_CHUNK_BYTES);
    for (;;) {
        if (stop()) {
            return ReadOutcome::Cancelled;
        }
        const long long got = read(chunk.data(), chunk.size());
        if (got == READ_INTERRUPTED) {
            continue;
        }
        if (got < 0) {
            return ReadOutcome::Unreadable;
        }
        if (got == 0) {
            return ReadOutcome::Ok;
        }
        if (out->size() + static_cast<size_t>(got) > max_bytes) {
            return ReadOutcome::TooLarge;
        }
        out->insert(out->end(), chunk.begin(), chunk.begin() + got);
    }
}

}  // namespace kormelt::tool
