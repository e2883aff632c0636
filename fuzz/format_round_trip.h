// What the fuzzers of the tool's input formats share: the promises every
// reader must keep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/kormelt/firmware.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/image_builder.h"

namespace kormelt::fuzz {

using tool::AddressRange;
using tool::Bytes;
using tool::Layout;

// Written back only for images small enough to keep the fuzzer fast.
constexpr size_t ROUND_TRIP_MAX_BYTES = 64 * 1024;

// An input as a reader took it, laid out from its lowest address.
struct Taken {
    Layout layout;
    std::vector<AddressRange> ranges;
};

template <typename Input>
struct InputFormat {
    bool (*read)(const Input &input, tool::ImageBuilder *builder, tool::InputDetails *details, std::string *error);
    const char *unit;                    // what the reader calls a piece of data
    bool (*fits)(const Taken &taken);    // what the format promises beyond a nonempty image within the bound
    Input (*write)(const Taken &taken);  // the image in the format again, from its base
    bool keeps_ranges;                   // whether write gives each range a piece of its own
};

template <typename Input>
bool Take(const InputFormat<Input> &format, const Input &input, Taken *taken, std::string *error) {
    tool::ImageBuilder builder(format.unit);
    tool::InputDetails details;
    if (!format.read(input, &builder, &details, error)) {
        return false;
    }
    taken->layout = builder.Lay({tool::BaseChoice::Kind::Lowest, 0});
    taken->ranges = builder.Ranges();
    return true;
}

// Aborts, for the fuzzer to report, where the reader breaks a promise: a
// refusal without a reason; an accepted input whose image from its lowest
// address is empty, beyond the bound or not what the format allows; or one
// that, written back, reads as another image.
template <typename Input>
void CheckReader(const InputFormat<Input> &format, const Input &input) {
    Taken taken;
    std::string error;
    if (!Take(format, input, &taken, &error)) {
        if (error.empty()) {
            std::abort();
        }
        return;
    }
    const Layout &layout = taken.layout;
    if (layout.problem != tool::LayoutProblem::None || layout.data.empty() ||
        layout.data.size() > tool::IMAGE_MAX_BYTES || !format.fits(taken)) {
        std::abort();
    }
    if (layout.data.size() <= ROUND_TRIP_MAX_BYTES) {
        Taken again;
        if (!Take(format, format.write(taken), &again, &error) || again.layout.base != layout.base ||
            again.layout.data != layout.data || (format.keeps_ranges && again.ranges.size() != taken.ranges.size())) {
            std::abort();
        }
    }
}

}  // namespace kormelt::fuzz
