// The image builder: runs placed in any order against the image laid out
// from each kind of base, what it refuses, the --base words, and how an
// input's format is found.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kormelt/image.h"
#include "tools/kormelt/image_builder.h"

using namespace kormelt::tool;

namespace {

constexpr uint64_t MIB16 = uint64_t{16} << 20;

struct Piece {
    uint64_t address;
    Bytes bytes;
};

ImageBuilder Built(const std::vector<Piece> &runs) {
    ImageBuilder builder;
    for (const Piece &run : runs) {
        std::string error;
        EXPECT_TRUE(builder.Place(run.address, run.bytes.data(), run.bytes.size(), &error)) << error;
    }
    return builder;
}

Bytes Filled(size_t count) { return Bytes(count, 0xFF); }

Bytes Join(std::vector<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const BaseChoice DEFAULT{};
const BaseChoice LOWEST{BaseChoice::Kind::Lowest, 0};
BaseChoice At(uint64_t address) { return {BaseChoice::Kind::Address, address}; }

// Each base choice over data that fit from it and data that do not: a
// refusal names the address at fault and lays out nothing.
TEST(ImageBuilder, LaysTheRunsOutFromTheBaseOrRefusesDataThatDoNotFit) {
    struct Case {
        const char *what;
        std::vector<Piece> runs;
        BaseChoice base;
        Layout expected;
    };
    const auto laid = [](uint64_t base, Bytes data) { return Layout{LayoutProblem::None, base, 0, std::move(data)}; };
    const auto refused = [](LayoutProblem problem, uint64_t base, uint64_t address) {
        return Layout{problem, base, address, {}};
    };
    const Case cases[] = {
        {"from address 0 by default", {{2, {1, 2}}}, DEFAULT, laid(0, Join({Filled(2), {1, 2}}))},
        {"from the lowest address", {{0x08000004, {3}}, {0x08000000, {1, 2}}}, LOWEST,
         laid(0x08000000, {1, 2, 0xFF, 0xFF, 3})},
        {"from an address given", {{0x08000002, {5}}}, At(0x08000000), laid(0x08000000, {0xFF, 0xFF, 5})},
        {"a base at the data", {{0x10000000, {6, 7}}}, At(0x10000000), laid(0x10000000, {6, 7})},
        {"spanning exactly the bound", {{0x08000000, {1}}, {0x08000000 + MIB16 - 1, {2}}}, LOWEST,
         laid(0x08000000, Join({{1}, Filled(MIB16 - 2), {2}}))},
        {"high in the 64-bit space", {{0xFFFFFFFF00000000ULL, {9}}}, LOWEST, laid(0xFFFFFFFF00000000ULL, {9})},

        {"data at the flash's address without --base", {{0x08000000, {1, 2}}}, DEFAULT,
         refused(LayoutProblem::BeyondZero, 0, 0x08000001)},
        {"data just past 16 MiB from 0", {{MIB16, {1}}}, DEFAULT, refused(LayoutProblem::BeyondZero, 0, MIB16)},
        {"data below the base", {{0x07FFFFFF, {1}}, {0x08000000, {2}}}, At(0x08000000),
         refused(LayoutProblem::BelowBase, 0x08000000, 0x07FFFFFF)},
        {"data beyond 16 MiB from the base", {{0x08000000 + MIB16, {1}}}, At(0x08000000),
         refused(LayoutProblem::BeyondBase, 0x08000000, 0x08000000 + MIB16)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Layout layout = Built(c.runs).Lay(c.base);
        EXPECT_EQ(layout.problem, c.expected.problem);
        EXPECT_EQ(layout.base, c.expected.base);
        EXPECT_EQ(layout.address, c.expected.address);
        EXPECT_EQ(layout.data, c.expected.data);
    }
}

TEST(ImageBuilder, RefusesOverlapsAndSpansEarly) {
    struct Case {
        const char *what;
        std::vector<Piece> before;
        Piece run;
        const char *fragment;
    };
    const Bytes one{1};
    const Case cases[] = {
        {"the same address twice", {{10, {1, 2}}}, {11, one}, "address 0x0000000B was already filled by an earlier record"},
        {"a run across an earlier one", {{10, {1}}}, {8, {1, 2, 3, 4}}, "address 0x0000000A was already filled"},
        {"a run longer than an image", {}, {0, Bytes(MIB16 + 1)}, "the 16777217 bytes at 0x00000000 span more than"},
        {"a run far above", {{0x08000000, one}}, {0x08000000 + MIB16, one},
         "address 0x09000000 lies 16 MiB or more from address 0x08000000"},
        {"a run far below", {{0x09000000, one}}, {0x09000000 - MIB16, one},
         "address 0x08000000 lies 16 MiB or more from address 0x09000000"},
        {"past the top of the address space", {}, {0xFFFFFFFFFFFFFFFEULL, {1, 2}},
         "the 2 bytes at 0xFFFFFFFFFFFFFFFE run past the top of the 64-bit address space"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ImageBuilder builder = Built(c.before);
        const std::vector<AddressRange> ranges = builder.Ranges();
        std::string error;
        EXPECT_FALSE(builder.Place(c.run.address, c.run.bytes.data(), c.run.bytes.size(), &error));
        EXPECT_NE(error.find(c.fragment), std::string::npos) << error;
        EXPECT_EQ(builder.runs(), c.before.size()) << "nothing of the run is placed";
        EXPECT_EQ(builder.Ranges().size(), ranges.size());
    }
}

// Runs that come downward, upward or scattered make the same image; the
// window the builder keeps must follow them all.
TEST(ImageBuilder, TheOrderOfTheRunsDoesNotMatter) {
    constexpr size_t RUN_BYTES = 16;
    constexpr size_t RUNS = 4096;
    constexpr uint64_t BASE = 0x08000000;
    std::vector<Piece> upward;
    for (size_t i = 0; i < RUNS; ++i) {
        Bytes bytes(RUN_BYTES);
        for (size_t k = 0; k < RUN_BYTES; ++k) {
            bytes[k] = static_cast<uint8_t>(i * 7 + k);
        }
        // Every fourth run left out, for gaps.
        if (i % 4 != 3) {
            upward.push_back({BASE + i * RUN_BYTES, bytes});
        }
    }
    std::vector<Piece> downward(upward.rbegin(), upward.rend());
    std::vector<Piece> strided;
    for (size_t start = 0; start < 5; ++start) {
        for (size_t i = start; i < upward.size(); i += 5) {
            strided.push_back(upward[i]);
        }
    }
    std::vector<Piece> outside_in;
    for (size_t low = 0, high = upward.size(); low < high;) {
        outside_in.push_back(upward[low++]);
        if (low < high) {
            outside_in.push_back(upward[--high]);
        }
    }
    const Layout expected = Built(upward).Lay(LOWEST);
    ASSERT_EQ(expected.problem, LayoutProblem::None);
    EXPECT_EQ(expected.base, BASE);
    EXPECT_EQ(expected.data.size(), (RUNS - 1) * RUN_BYTES);
    for (const std::vector<Piece> *runs : {&downward, &strided, &outside_in}) {
        const ImageBuilder builder = Built(*runs);
        EXPECT_EQ(builder.Lay(LOWEST).data, expected.data);
        EXPECT_EQ(builder.Ranges().size(), RUNS / 4);
    }
}

TEST(ImageBuilder, RangesMergeNeighbours) {
    const ImageBuilder builder = Built({{20, {1}}, {0, {1, 2}}, {2, {3}}, {21, {4, 5}}, {10, {6}}});
    const std::vector<AddressRange> ranges = builder.Ranges();
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[0].first, 0u);
    EXPECT_EQ(ranges[0].bytes, 3u);
    EXPECT_EQ(ranges[1].first, 10u);
    EXPECT_EQ(ranges[1].bytes, 1u);
    EXPECT_EQ(ranges[2].first, 20u);
    EXPECT_EQ(ranges[2].bytes, 3u);
    EXPECT_EQ(builder.lowest(), 0u);
    EXPECT_EQ(builder.end(), 23u);
}

TEST(ParseBase, WordsAndAddresses) {
    struct Case {
        const char *text;
        bool ok;
        BaseChoice::Kind kind;
        uint64_t address;
    };
    const Case cases[] = {
        {"lowest", true, BaseChoice::Kind::Lowest, 0},
        {"0x08000000", true, BaseChoice::Kind::Address, 0x08000000},
        {"0X10000000", true, BaseChoice::Kind::Address, 0x10000000},
        {"0xabcdef", true, BaseChoice::Kind::Address, 0xABCDEF},
        {"4194304", true, BaseChoice::Kind::Address, 0x00400000},
        {"0", true, BaseChoice::Kind::Address, 0},
        {"0xFFFFFFFFFFFFFFFF", true, BaseChoice::Kind::Address, 0xFFFFFFFFFFFFFFFFULL},
        {"0x10000000000000000", false, {}, 0},
        {"18446744073709551616", false, {}, 0},
        {"", false, {}, 0},
        {"0x", false, {}, 0},
        {"Lowest", false, {}, 0},
        {"-1", false, {}, 0},
        {"0x08 000000", false, {}, 0},
        {"8M", false, {}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        BaseChoice base{BaseChoice::Kind::Default, 99};
        std::string error;
        EXPECT_EQ(kormelt::tool::ParseBase(c.text, &base, &error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(base.kind, c.kind);
            EXPECT_EQ(base.address, c.address);
        } else {
            EXPECT_NE(error, "");
        }
    }
}

TEST(InputFormat, FoundFromTheContentFirstThenTheName) {
    const auto text = [](const std::string &s) { return Bytes(s.begin(), s.end()); };
    struct Case {
        const char *what;
        Bytes content;
        const char *path;
        InputFormat format;
    };
    const Case cases[] = {
        {"ELF magic under any name", {0x7F, 'E', 'L', 'F', 1, 1, 1}, "fw.bin", InputFormat::Elf},
        {"a HEX record under any name", text(":0100000001FE\n:00000001FF\n"), "fw.bin", InputFormat::IntelHex},
        {"an S-record under any name", text("S00600004844521B\nS9030000FC\n"), "fw.hex", InputFormat::SRecord},
        {"after blank lines and CRLF", text("\r\n\r\nS9030000FC\r\n"), "fw", InputFormat::SRecord},
        {"lower-case HEX digits", text(":0100000001fe"), "fw", InputFormat::IntelHex},
        {"binary named .hex", {0x00, 0x20, 0x00, 0x20}, "fw.hex", InputFormat::IntelHex},
        {"binary named .IHEX", {0x00}, "FW.IHEX", InputFormat::IntelHex},
        {"binary named .s19", {0x00}, "fw.s19", InputFormat::SRecord},
        {"binary named .S37", {0x00}, "fw.S37", InputFormat::SRecord},
        {"binary named .mot", {0x00}, "fw.mot", InputFormat::SRecord},
        {"binary named .srec", {0x00}, "fw.srec", InputFormat::SRecord},
        {"binary named .elf", {0x00}, "fw.elf", InputFormat::Elf},
        {"binary named .axf", {0x00}, "fw.axf", InputFormat::Elf},
        {"binary named .bin", {0x00}, "fw.bin", InputFormat::Raw},
        {"no extension", {0x00}, "firmware", InputFormat::Raw},
        {"a dot in a directory only", {0x00}, "dir.hex/firmware", InputFormat::Raw},
        {"text that is no record", text("123456789"), "digits.bin", InputFormat::Raw},
        {"a colon and no hex digits", text(":not a record\n"), "notes.txt", InputFormat::Raw},
        {"an S and a digit and short", text("S1\n"), "fw.bin", InputFormat::Raw},
        {"a truncated ELF magic", {0x7F, 'E', 'L'}, "fw.bin", InputFormat::Raw},
        {"empty", {}, "fw.bin", InputFormat::Raw},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(kormelt::tool::DetectInputFormat(c.content, c.path), c.format);
    }
}

TEST(InputFormat, WordsAndNamesGoBothWays) {
    for (const InputFormat format : {InputFormat::Raw, InputFormat::IntelHex, InputFormat::SRecord, InputFormat::Elf}) {
        InputFormat back = format == InputFormat::Raw ? InputFormat::Elf : InputFormat::Raw;
        EXPECT_TRUE(kormelt::tool::InputFormatFromWord(kormelt::tool::InputFormatWord(format), &back));
        EXPECT_EQ(back, format);
    }
    InputFormat format = InputFormat::Raw;
    EXPECT_FALSE(kormelt::tool::InputFormatFromWord("coff", &format));
}

}  // namespace
