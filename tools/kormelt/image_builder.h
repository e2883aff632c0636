// Firmware laid out by address, as every input format that carries
// addresses describes it: a reader hands over runs of bytes at their device
// addresses, the builder refuses overlaps and data spread over more than an
// image may span, and at the end lays the runs out from a base address,
// the gaps erased. A new input format is one reader that calls Place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kormelt::tool {

// Which device address becomes the image's first byte.
struct BaseChoice {
    enum class Kind {
        Default,  // address 0, as nothing was asked
        Address,  // the address given
        Lowest,   // the lowest address that holds data
    };
    Kind kind = Kind::Default;
    uint64_t address = 0;  // for Kind::Address
};

// "lowest", or an address in hexadecimal with 0x or in decimal, into
// *base. False with a reason for anything else.
bool ParseBase(const std::string &text, BaseChoice *base, std::string *error);

// Addresses first..first + bytes - 1.
struct AddressRange {
    uint64_t first;
    uint64_t bytes;
};

enum class LayoutProblem {
    None,
    BelowBase,    // data below the base: address is the lowest of them
    BeyondBase,   // data IMAGE_MAX_BYTES or more above the base given: address is the highest
    BeyondZero,   // the same from address 0 when no base was given: address is the highest
};

struct Layout {
    LayoutProblem problem = LayoutProblem::None;
    uint64_t base = 0;     // the device address of data[0]
    uint64_t address = 0;  // the address at fault, when there is a problem
    std::vector<uint8_t> data;  // from base to the highest byte placed, gaps ERASED_FLASH_BYTE
};

class ImageBuilder {
public:
    // unit is what the reader calls one run in a message ("record", "segment").
    explicit ImageBuilder(const char *unit = "record") : unit_(unit) {}

    // Puts count bytes at address onward. False with a reason naming the
    // first address at fault when one was already placed, when the data so
    // far would lie IMAGE_MAX_BYTES or more apart, or when the run passes
    // the top of the 64-bit address space; nothing of the run is placed then.
    bool Place(uint64_t address, const uint8_t *bytes, size_t count, std::string *error);

    // Runs placed so far (empty ones do not count).
    size_t runs() const { return runs_; }
    // The lowest address placed and one past the highest; 0 and 0 when none is.
    uint64_t lowest() const { return low_; }
    uint64_t end() const { return high_; }

    // The addresses placed, as the fewest ranges, lowest first.
    std::vector<AddressRange> Ranges() const;

    // The image the runs make with the base chosen; nothing in data when
    // there is a problem.
    Layout Lay(const BaseChoice &base) const;

private:
    void Cover(uint64_t low, uint64_t high);

    const char *unit_;
    // The bytes of the addresses origin_ onward: the data placed so far and
    // room for more, never more than twice IMAGE_MAX_BYTES.
    uint64_t origin_ = 0;
    std::vector<uint8_t> window_;
    std::vector<bool> placed_;
    uint64_t low_ = 0;
    uint64_t high_ = 0;
    size_t runs_ = 0;
};

// "0x0000ABCD" for an address or "0x1F" for a byte: digits wide.
std::string HexNumber(uint64_t value, int digits);
// An address as people read it: 8 hex digits, more when it needs them.
std::string AddressText(uint64_t address);

}  // namespace kormelt::tool
