#include "tools/kormelt/image_builder.h"

#include <cstdio>

#include "protocol/protocol.h"
#include "tools/kormelt/image.h"

namespace kormelt::tool {

namespace {

constexpr int ADDRESS_DIGITS = 8;

}  // namespace

std::string HexNumber(uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

bool ImageBuilder::Place(uint64_t address, const uint8_t *bytes, size_t count, std::string *error) {
    if (count == 0) {
        return true;
    }
    if (address >= IMAGE_MAX_BYTES || count > IMAGE_MAX_BYTES - address) {
        const uint64_t beyond = address >= IMAGE_MAX_BYTES ? address : uint64_t{IMAGE_MAX_BYTES};
        *error = "address " + HexNumber(beyond, ADDRESS_DIGITS) + " lies beyond the " +
                 std::to_string(IMAGE_MAX_BYTES >> 20) +
                 " MiB an image may span; the image starts at device address 0, so a HEX file linked for "
                 "another flash base cannot be sealed as it is";
        return false;
    }
    const size_t start = static_cast<size_t>(address);
    const size_t end = start + count;
    for (size_t i = start; i < end && i < placed_.size(); ++i) {
        if (placed_[i]) {
            *error = "address " + HexNumber(i, ADDRESS_DIGITS) + " was already filled by an earlier record";
            return false;
        }
    }
    if (end > data_.size()) {
        data_.resize(end, ERASED_FLASH_BYTE);
        placed_.resize(end, false);
    }
    for (size_t i = 0; i < count; ++i) {
        placed_[start + i] = true;
        data_[start + i] = bytes[i];
    }
    ++runs_;
    return true;
}

}  // namespace kormelt::tool
