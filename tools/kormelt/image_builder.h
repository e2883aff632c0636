// Firmware laid out by address, as every input format that carries
// addresses describes it: a reader hands over runs of bytes at their device
// addresses, the builder refuses overlaps and addresses beyond the image
// bound, and lays the runs out from address 0 with the gaps erased. A new
// input format is one reader that calls Place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kormelt::tool {

class ImageBuilder {
public:
    // Puts count bytes at address onward. False with a reason naming the
    // first address at fault when one lies beyond IMAGE_MAX_BYTES or was
    // already placed; nothing of the run is placed then.
    bool Place(uint64_t address, const uint8_t *bytes, size_t count, std::string *error);

    // Runs placed so far (empty ones do not count).
    size_t runs() const { return runs_; }

    // The image from address 0 to the highest byte placed, gaps holding
    // ERASED_FLASH_BYTE.
    std::vector<uint8_t> Take() { return std::move(data_); }

private:
    std::vector<uint8_t> data_;
    std::vector<bool> placed_;
    size_t runs_ = 0;
};

// "0x0000ABCD" for an address or "0x1F" for a byte: digits wide.
std::string HexNumber(uint64_t value, int digits);

}  // namespace kormelt::tool
