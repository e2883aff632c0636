#include "tools/kormelt/live_line.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "protocol/protocol.h"

namespace kormelt::tool {
namespace {

constexpr unsigned char UTF8_CONTINUATION_MASK = 0xC0;
constexpr unsigned char UTF8_CONTINUATION = 0x80;
constexpr unsigned char FIRST_PRINTABLE = 0x20;
constexpr unsigned char DELETE = 0x7F;

}  // namespace

bool RedrawsInPlace(size_t columns) { return columns == 0 || columns >= LIVE_MIN_COLUMNS; }

size_t LiveLineWidth(size_t columns) { return (columns == 0 ? LIVE_DEFAULT_COLUMNS : columns) - 1; }

std::string FitLine(const std::string &line, size_t width) {
    size_t cut = std::min(line.size(), width);
    if (cut < line.size()) {
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & UTF8_CONTINUATION_MASK) == UTF8_CONTINUATION) {
            --cut;
        }
    }
    std::string fitted = line.substr(0, cut);
    for (char &c : fitted) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < FIRST_PRINTABLE || byte == DELETE) {
            c = '?';
        }
    }
    return fitted;
}

std::string BarLine(const std::string &label, int percent, const std::string &detail, size_t width) {
    const int shown = std::clamp(percent, 0, PERCENT_DONE);
    char tail[16];
    std::snprintf(tail, sizeof tail, "] %3d%%  ", shown);
    const size_t fixed = label.size() + 1 + std::char_traits<char>::length(tail);
    const size_t room = width > fixed + detail.size() ? width - fixed - detail.size() : 0;
    const size_t bar = std::clamp(room, LIVE_BAR_MIN, LIVE_BAR_MAX);
    const size_t filled = static_cast<size_t>(shown) * bar / static_cast<size_t>(PERCENT_DONE);
    return FitLine(label + "[" + std::string(filled, '#') + std::string(bar - filled, '-') + tail + detail, width);
}

}  // namespace kormelt::tool
