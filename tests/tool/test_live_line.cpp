// The lines of the live view against the width of the terminal: a line
// that is redrawn in place must never reach the last column.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/kormelt/live_line.h"

using namespace kormelt::tool;

namespace {

const std::string LABEL = "upload  ";  // as the view pads its phase names
const std::string DETAIL = "23.4 KiB / 23.4 KiB  1.8 KiB/s  0:11 left";

size_t BarSize(const std::string &line) {
    const size_t open = line.find('[');
    const size_t close = line.find(']');
    return open == std::string::npos || close == std::string::npos ? 0 : close - open - 1;
}

TEST(LiveLine, RedrawnInPlaceFromTheMinimumWidthOn) {
    const std::vector<std::pair<size_t, bool>> cases = {
        {0, true},  // the terminal does not say: the usual width is taken
        {1, false},
        {LIVE_MIN_COLUMNS - 1, false},
        {LIVE_MIN_COLUMNS, true},
        {200, true},
    };
    for (const auto &[columns, in_place] : cases) {
        EXPECT_EQ(RedrawsInPlace(columns), in_place) << columns << " columns";
    }
}

TEST(LiveLine, LinesStopOneShortOfTheLastColumn) {
    const std::vector<std::pair<size_t, size_t>> cases = {{0, 79}, {40, 39}, {50, 49}, {80, 79}, {132, 131}};
    for (const auto &[columns, width] : cases) {
        EXPECT_EQ(LiveLineWidth(columns), width) << columns << " columns";
    }
}

TEST(LiveLine, EveryBarLineFitsItsWidth) {
    const std::vector<std::string> details = {"", "trying COM1 (/dev/ttyUSB0)", DETAIL, std::string(300, 'x')};
    for (size_t width = LiveLineWidth(LIVE_MIN_COLUMNS); width <= 200; ++width) {
        for (const std::string &detail : details) {
            for (const int percent : {0, 42, 100}) {
                const std::string line = BarLine(LABEL, percent, detail, width);
                ASSERT_LE(line.size(), width) << "width " << width << ", detail " << detail.size();
                // The bar and the percentage always fit; only the detail is cut.
                ASSERT_EQ(line.rfind(LABEL + "[", 0), 0u) << line;
                ASSERT_NE(line.find(std::to_string(percent) + "%"), std::string::npos) << line;
                ASSERT_GE(BarSize(line), LIVE_BAR_MIN) << line;
            }
        }
    }
}

TEST(LiveLine, TheBarGivesUpColumnsBeforeTheDetailIsCut) {
    struct Case {
        size_t width;
        size_t bar;
        bool detail_whole;
    };
    // The label, "[", "] 100%  " and DETAIL take 8 + 1 + 8 + 41 = 58 columns.
    const std::vector<Case> cases = {
        {79, LIVE_BAR_MAX, true},
        {58 + LIVE_BAR_MAX, LIVE_BAR_MAX, true},
        {58 + 15, 15, true},
        {58 + LIVE_BAR_MIN, LIVE_BAR_MIN, true},
        {58 + LIVE_BAR_MIN - 1, LIVE_BAR_MIN, false},
        {49, LIVE_BAR_MIN, false},
    };
    for (const Case &c : cases) {
        const std::string line = BarLine(LABEL, 50, DETAIL, c.width);
        EXPECT_EQ(BarSize(line), c.bar) << c.width;
        EXPECT_EQ(line.find(DETAIL) != std::string::npos, c.detail_whole) << c.width << ": " << line;
        if (!c.detail_whole) {
            EXPECT_EQ(line.size(), c.width) << line;
        }
    }
}

TEST(LiveLine, TheBarFillsWithThePercentage) {
    const std::vector<std::pair<int, size_t>> cases = {{-5, 0}, {0, 0}, {50, 10}, {99, 19}, {100, 20}, {150, 20}};
    for (const auto &[percent, filled] : cases) {
        const std::string line = BarLine(LABEL, percent, "", 79);
        EXPECT_EQ(static_cast<size_t>(std::count(line.begin(), line.end(), '#')), filled) << percent;
        EXPECT_EQ(BarSize(line), LIVE_BAR_MAX) << percent;
    }
}

TEST(LiveLine, FitLineCutsBetweenCharactersAndHidesControlCharacters) {
    struct Case {
        const char *name;
        std::string line;
        size_t width;
        std::string fitted;
    };
    const std::vector<Case> cases = {
        {"short enough", "check   ok", 20, "check   ok"},
        {"exactly the width", "abcdef", 6, "abcdef"},
        {"cut", "abcdefgh", 5, "abcde"},
        {"cut before a two-byte character", "caf\xc3\xa9!", 4, "caf"},
        {"cut after it", "caf\xc3\xa9!", 5, "caf\xc3\xa9"},
        {"cut inside a three-byte character", "ab\xe2\x82\xac", 4, "ab"},
        {"tab, newline, escape and delete", "a\tb\nc\x1b[2Jd\x7f", 20, "a?b?c?[2Jd?"},
        {"nothing fits", "abc", 0, ""},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(FitLine(c.line, c.width), c.fitted) << c.name;
    }
}

}  // namespace
