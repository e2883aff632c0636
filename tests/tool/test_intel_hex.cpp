// Intel HEX records, one kind of case per row, against the image bytes they
// must give from address 0 or the line they must be refused at.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/hex_records.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/image_builder.h"
#include "tools/kormelt/intel_hex.h"

using namespace kormelt::tool;

namespace {

// The text read and laid out from address 0, as seal does without --base.
bool ParseIntelHex(const std::string &text, Bytes *image, std::string *error, InputDetails *details = nullptr) {
    ImageBuilder builder;
    InputDetails found;
    if (!kormelt::tool::ReadIntelHex(text, &builder, details != nullptr ? details : &found, error)) {
        return false;
    }
    Layout layout = builder.Lay({});
    if (layout.problem != LayoutProblem::None) {
        *error = "not laid out from address 0";
        return false;
    }
    *image = std::move(layout.data);
    return true;
}

// One record with its checksum: count, address, type, data.
std::string Record(uint16_t address, uint8_t type, const Bytes &data = {}) {
    Bytes body{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
               static_cast<uint8_t>(address & 0xFF), type};
    body.insert(body.end(), data.begin(), data.end());
    return HexRecordLine(":", body, IntelHexChecksum);
}

const std::string END = ":00000001FF";


Bytes Filled(size_t count) { return Bytes(count, 0xFF); }

TEST(IntelHex, RecordsPlaceTheirBytes) {
    struct Case {
        const char *what;
        std::string text;
        Bytes expected;
    };
    const Case cases[] = {
        {"type 00 at address 0", Lines({Record(0, 0x00, {1, 2, 3}), END}), {1, 2, 3}},
        {"type 00 with a gap before it", Lines({Record(4, 0x00, {9}), END}), Concat({Filled(4), {9}})},
        {"an empty data record changes nothing", Lines({Record(0, 0x00, {7}), Record(8, 0x00), END}), {7}},
        {"type 02 segment base", Lines({Record(0, 0x02, {0x00, 0x10}), Record(2, 0x00, {5}), END}),
         Concat({Filled(0x102), {5}})},
        // A segment's data past offset 0xFFFF go on at base + 0x10000.
        {"type 02 data running past offset 0xFFFF",
         Lines({Record(0, 0x02, {0x00, 0x01}), Record(0xFFFE, 0x00, {0xA1, 0xA2, 0xA3}), END}),
         Concat({Filled(0x10 + 0xFFFE), {0xA1, 0xA2, 0xA3}})},
        {"type 02 at the top segment",
         Lines({Record(0, 0x02, {0xFF, 0xFF}), Record(0xFFFF, 0x00, {0xB1, 0xB2}), END}),
         Concat({Filled(0xFFFF0 + 0xFFFF), {0xB1, 0xB2}})},
        {"type 03 start segment address ignored",
         Lines({Record(0, 0x03, {0x12, 0x34, 0x56, 0x78}), Record(0, 0x00, {4}), END}), {4}},
        {"type 04 linear base", Lines({Record(0, 0x04, {0x00, 0x01}), Record(1, 0x00, {6}), END}),
         Concat({Filled(0x10001), {6}})},
        {"type 04 back to base 0 after a segment",
         Lines({Record(0, 0x02, {0x10, 0x00}), Record(0, 0x04, {0x00, 0x00}), Record(0, 0x00, {8}), END}), {8}},
        {"type 05 start linear address ignored",
         Lines({Record(0, 0x05, {0x00, 0x00, 0x01, 0x00}), Record(0, 0x00, {3}), END}), {3}},
        {"records out of order", Lines({Record(2, 0x00, {3, 4}), Record(0, 0x00, {1, 2}), END}), {1, 2, 3, 4}},
        {"CRLF line ends", Lines({Record(0, 0x00, {1, 2}), END}, "\r\n"), {1, 2}},
        {"lower-case digits", Lines({":0300000001020AF0", END}), {1, 2, 0x0A}},
        {"blank lines between records", Lines({"", Record(0, 0x00, {1}), "", "   ", Record(1, 0x00, {2}), END}),
         {1, 2}},
        {"records after end-of-file ignored", Lines({Record(0, 0x00, {1}), END, Record(1, 0x00, {2}), "junk"}), {1}},
        {"no newline after end-of-file", Lines({Record(0, 0x00, {1})}) + END, {1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes image;
        std::string error;
        ASSERT_TRUE(ParseIntelHex(c.text, &image, &error)) << error;
        EXPECT_EQ(image, c.expected);
    }
}

TEST(IntelHex, BadRecordsAreRefusedWithTheirLine) {
    const std::string bad_sum = WithZeroChecksum(Record(0, 0x00, {1, 2}));
    const std::string odd = WithoutLastDigit(Record(0, 0x00, {1}));
    const std::string non_ascii = WithCharAt(Record(0, 0x00, {1}), 3, static_cast<char>(0xC3));
    const std::string control = WithCharAt(Record(0, 0x00, {1}), 3, '\x01');
    struct Case {
        const char *what;
        std::string text;
        const char *fragment;
    };
    const Case cases[] = {
        {"bad checksum", Lines({Record(0, 0x00, {1}), bad_sum, END}), "line 2: bad checksum 0x00"},
        {"odd number of digits", Lines({odd, END}), "line 1: odd number"},
        {"not a hex digit", Lines({":0G0000000100", END}), "line 1: 'G' in column 3"},
        {"byte above 0x7F", Lines({non_ascii, END}), "line 1: the byte 0xC3 in column 4 is not a hex digit (not ASCII"},
        {"control character", Lines({control, END}), "line 1: a control character (0x01) in column 4"},
        {"no colon", Lines({Record(0, 0x00, {1}).substr(1), END}), "line 1: a record must start with ':'"},
        {"count larger than the data", Lines({":0300000001FC", END}), "line 1: the byte count says 3"},
        {"unknown type 06", Lines({Record(0, 0x06), END}), "line 1: unknown record type 0x06"},
        {"type 02 of the wrong length", Lines({Record(0, 0x02, {1}), END}), "line 1: an extended segment address"},
        {"type 04 of the wrong length", Lines({Record(0, 0x04, {0, 0, 1}), END}), "line 1: an extended linear"},
        {"type 01 with data", Lines({Record(0, 0x01, {1})}), "line 1: an end-of-file record must carry 0"},
        {"overlapping records", Lines({Record(0, 0x00, {1, 2, 3}), Record(2, 0x00, {9}), END}),
         "line 2: address 0x00000002 was already filled"},
        {"overlap through a segment running past 0xFFFF",
         Lines({Record(0, 0x04, {0x00, 0x01}), Record(0, 0x00, {1}), Record(0, 0x02, {0x00, 0x00}),
                Record(0xFFFF, 0x00, {2, 3}), END}),
         "line 4: address 0x00010000 was already filled"},
        {"data farther apart than an image spans",
         Lines({Record(0, 0x00, {1}), Record(0, 0x04, {0x01, 0x00}), Record(0, 0x00, {2}), END}),
         "line 3: address 0x01000000 lies 16 MiB or more from address 0x00000000"},
        // Linear addresses wrap at 4 GiB: the record's second byte goes to
        // address 0, 4 GiB from its first, which no image spans.
        {"linear address wrapping past 4 GiB",
         Lines({Record(0, 0x04, {0xFF, 0xFF}), Record(0xFFFF, 0x00, {1, 2}), END}),
         "line 2: address 0x00000000 lies 16 MiB or more from address 0xFFFFFFFF"},
        {"no end-of-file record", Lines({Record(0, 0x00, {1})}), "no end-of-file record"},
        {"end-of-file only", Lines({END}), "no data records"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes image{0x55};
        std::string error;
        EXPECT_FALSE(ParseIntelHex(c.text, &image, &error));
        EXPECT_NE(error.find(c.fragment), std::string::npos) << error;
        EXPECT_EQ(image, Bytes{0x55}) << "a refused text changes nothing";
    }
}

TEST(IntelHex, StartAddressesAreNotedAndTheLastCounts) {
    struct Case {
        const char *what;
        std::vector<std::string> start_records;
        bool has_start;
        uint64_t start;
    };
    const Case cases[] = {
        {"none", {}, false, 0},
        {"type 05 linear", {Record(0, 0x05, {0x08, 0x00, 0x01, 0x23})}, true, 0x08000123},
        {"type 03 segment and offset", {Record(0, 0x03, {0x12, 0x34, 0x00, 0x10})}, true, 0x12340 + 0x10},
        {"the later of two", {Record(0, 0x03, {0, 0, 0, 1}), Record(0, 0x05, {0, 0, 0, 2})}, true, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> lines = c.start_records;
        lines.push_back(Record(0, 0x00, {1, 2}));
        lines.push_back(END);
        Bytes image;
        std::string error;
        InputDetails details;
        ASSERT_TRUE(ParseIntelHex(Lines(lines), &image, &error, &details)) << error;
        EXPECT_EQ(details.start.has_value(), c.has_start);
        EXPECT_EQ(details.start.value_or(0), c.start);
        EXPECT_EQ(details.records, 1u);
    }
}

}  // namespace
