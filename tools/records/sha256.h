// SHA-256, which names an image in the records: two images with the same
// size and CRC-16 are easily different files, two with the same SHA-256 are
// not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kormelt::records {

// The digest of size bytes at data as 64 lowercase hex digits.
std::string Sha256Hex(const uint8_t *data, size_t size);

}  // namespace kormelt::records
