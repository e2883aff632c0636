// The lines of the live view, fitted to the terminal's width. A line redrawn
// in place must never wrap: the terminal would move on to a new row, and
// every redraw would leave the part before it behind.
#pragma once

#include <cstddef>
#include <string>

namespace kormelt::tool {

constexpr size_t LIVE_MIN_COLUMNS = 40;      // narrower terminals get plain lines instead
constexpr size_t LIVE_DEFAULT_COLUMNS = 80;  // for a terminal that does not tell its width
constexpr size_t LIVE_BAR_MAX = 20;          // characters of the bar when there is room
constexpr size_t LIVE_BAR_MIN = 10;          // the bar shrinks to this before the detail is cut

// Whether a terminal this many columns wide (0: it does not say) has its
// lines redrawn in place.
bool RedrawsInPlace(size_t columns);

// The most a redrawn line may hold there: one short of the last column, as
// many terminals move to the next row once that is written.
size_t LiveLineWidth(size_t columns);

// line cut to width bytes, never inside a UTF-8 sequence; control
// characters, which would move the cursor, shown as '?'. Bytes are counted,
// not characters, so a line with multi-byte characters is cut early rather
// than late.
std::string FitLine(const std::string &line, size_t width);

// "label[#####---------]  42%  detail" within width: the bar gives up
// columns first, down to LIVE_BAR_MIN, then the detail is cut.
std::string BarLine(const std::string &label, int percent, const std::string &detail, size_t width);

}  // namespace kormelt::tool
