#include "tools/kormelt/image_builder.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>

#include "protocol/protocol.h"
#include "tools/kormelt/image.h"

namespace kormelt::tool {

namespace {

constexpr int ADDRESS_DIGITS = 8;
constexpr int WIDE_ADDRESS_DIGITS = 16;
constexpr uint64_t ADDRESS_MAX = std::numeric_limits<uint64_t>::max();
constexpr char LOWEST[] = "lowest";
constexpr unsigned HEX_BASE = 16;
constexpr unsigned DECIMAL_BASE = 10;

std::string MiB(size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

}  // namespace

std::string HexNumber(uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string AddressText(uint64_t address) {
    return HexNumber(address, address > 0xFFFFFFFFu ? WIDE_ADDRESS_DIGITS : ADDRESS_DIGITS);
}

bool ParseBase(const std::string &text, BaseChoice *base, std::string *error) {
    if (text == LOWEST) {
        *base = {BaseChoice::Kind::Lowest, 0};
        return true;
    }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t first = hex ? 2 : 0;
    const unsigned radix = hex ? HEX_BASE : DECIMAL_BASE;
    uint64_t value = 0;
    bool valid = first < text.size();
    for (size_t i = first; valid && i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool digit = hex ? std::isxdigit(c) != 0 : std::isdigit(c) != 0;
        if (!digit) {
            valid = false;
            break;
        }
        const unsigned d = std::isdigit(c) ? c - '0' : static_cast<unsigned>(std::tolower(c) - 'a' + 10);
        if (value > (ADDRESS_MAX - d) / radix) {
            *error = "the base " + text + " lies beyond the 64-bit address space";
            return false;
        }
        value = value * radix + d;
    }
    if (!valid) {
        *error = "the base '" + text + "' is no address: give " + LOWEST +
                 ", or an address in hexadecimal with 0x (0x08000000) or in decimal";
        return false;
    }
    *base = {BaseChoice::Kind::Address, value};
    return true;
}

bool ImageBuilder::Place(uint64_t address, const uint8_t *bytes, size_t count, std::string *error) {
    if (count == 0) {
        return true;
    }
    // One past the last byte must itself be an address, which keeps every
    // end below in range.
    if (count > ADDRESS_MAX - address) {
        *error = "the " + std::to_string(count) + " bytes at " + AddressText(address) +
                 " run past the top of the 64-bit address space";
        return false;
    }
    const uint64_t last = address + (count - 1);
    if (last - address >= IMAGE_MAX_BYTES) {
        *error = "the " + std::to_string(count) + " bytes at " + AddressText(address) + " span more than the " +
                 MiB(IMAGE_MAX_BYTES) + " an image may hold";
        return false;
    }
    if (runs_ > 0) {
        const uint64_t low = std::min(low_, address);
        const uint64_t top = std::max(high_ - 1, last);
        if (top - low >= IMAGE_MAX_BYTES) {
            const bool below = address < low_;
            *error = "address " + AddressText(below ? address : last) + " lies " + MiB(IMAGE_MAX_BYTES) +
                     " or more from address " + AddressText(below ? high_ - 1 : low_) + ", where an earlier " +
                     unit_ + " put data: an image spans at most " + MiB(IMAGE_MAX_BYTES);
            return false;
        }
        const uint64_t window_end = origin_ + window_.size();
        for (uint64_t at = std::max(address, origin_); at <= last && at < window_end; ++at) {
            if (placed_[static_cast<size_t>(at - origin_)]) {
                *error = "address " + AddressText(at) + " was already filled by an earlier " + unit_;
                return false;
            }
        }
    }
    const uint64_t low = runs_ > 0 ? std::min(low_, address) : address;
    const uint64_t high = runs_ > 0 ? std::max(high_, last + 1) : last + 1;
    Cover(low, high);
    const size_t start = static_cast<size_t>(address - origin_);
    std::copy(bytes, bytes + count, window_.begin() + static_cast<std::ptrdiff_t>(start));
    std::fill(placed_.begin() + static_cast<std::ptrdiff_t>(start),
              placed_.begin() + static_cast<std::ptrdiff_t>(start + count), true);
    low_ = low;
    high_ = high;
    ++runs_;
    return true;
}

// Makes the window hold low..high - 1, which lie less than IMAGE_MAX_BYTES
// apart. It grows by at least its own size, so that the copies stay linear
// in the data however the runs come, but never past where data can still
// go: IMAGE_MAX_BYTES from either end of what is placed.
void ImageBuilder::Cover(uint64_t low, uint64_t high) {
    const uint64_t window_end = origin_ + window_.size();
    if (!window_.empty() && low >= origin_ && high <= window_end) {
        return;
    }
    const uint64_t room = window_.size();
    const uint64_t floor = high > IMAGE_MAX_BYTES ? high - IMAGE_MAX_BYTES : 0;
    const uint64_t ceiling = low > ADDRESS_MAX - IMAGE_MAX_BYTES ? ADDRESS_MAX : low + IMAGE_MAX_BYTES;
    const bool down = window_.empty() || low < origin_;
    const bool up = window_.empty() || high > window_end;
    const uint64_t new_low = std::max(floor, down ? low - std::min(room, low) : origin_);
    const uint64_t new_high = std::min(ceiling, up ? high + std::min(room, ADDRESS_MAX - high) : window_end);
    std::vector<uint8_t> window(static_cast<size_t>(new_high - new_low), ERASED_FLASH_BYTE);
    std::vector<bool> placed(window.size(), false);
    for (uint64_t at = low_; runs_ > 0 && at < high_; ++at) {
        window[static_cast<size_t>(at - new_low)] = window_[static_cast<size_t>(at - origin_)];
        placed[static_cast<size_t>(at - new_low)] = placed_[static_cast<size_t>(at - origin_)];
    }
    origin_ = new_low;
    window_ = std::move(window);
    placed_ = std::move(placed);
}

std::vector<AddressRange> ImageBuilder::Ranges() const {
    std::vector<AddressRange> ranges;
    for (uint64_t at = low_; runs_ > 0 && at < high_; ++at) {
        if (!placed_[static_cast<size_t>(at - origin_)]) {
            continue;
        }
        if (!ranges.empty() && ranges.back().first + ranges.back().bytes == at) {
            ++ranges.back().bytes;
        } else {
            ranges.push_back({at, 1});
        }
    }
    return ranges;
}

Layout ImageBuilder::Lay(const BaseChoice &base) const {
    Layout layout;
    layout.base = base.kind == BaseChoice::Kind::Lowest    ? low_
                  : base.kind == BaseChoice::Kind::Address ? base.address
                                                           : 0;
    if (runs_ == 0) {
        return layout;
    }
    if (low_ < layout.base) {
        layout.problem = LayoutProblem::BelowBase;
        layout.address = low_;
        return layout;
    }
    if (high_ - layout.base > IMAGE_MAX_BYTES) {
        layout.problem = base.kind == BaseChoice::Kind::Default ? LayoutProblem::BeyondZero : LayoutProblem::BeyondBase;
        layout.address = high_ - 1;
        return layout;
    }
    layout.data.assign(static_cast<size_t>(high_ - layout.base), ERASED_FLASH_BYTE);
    std::copy(window_.begin() + static_cast<std::ptrdiff_t>(low_ - origin_),
              window_.begin() + static_cast<std::ptrdiff_t>(high_ - origin_),
              layout.data.begin() + static_cast<std::ptrdiff_t>(low_ - layout.base));
    return layout;
}

}  // namespace kormelt::tool
