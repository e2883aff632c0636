// Motorola S-records, one kind of case per row, against the bytes they
// place and what else they say, or the line they must be refused at.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/hex_records.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/image_builder.h"
#include "tools/kormelt/srecord.h"

using namespace kormelt::tool;

namespace {

// Address bytes of S0 to S9 (S4 reserved), as the format defines them.
const size_t ADDRESS_BYTES[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

// One record with its count and checksum.
std::string Record(int type, uint64_t address, const Bytes &data = {}) {
    const size_t address_bytes = ADDRESS_BYTES[type];
    Bytes body{static_cast<uint8_t>(address_bytes + data.size() + 1)};
    for (size_t i = address_bytes; i-- > 0;) {
        body.push_back(static_cast<uint8_t>(address >> (8 * i)));
    }
    body.insert(body.end(), data.begin(), data.end());
    return HexRecordLine("S" + std::to_string(type), body, SRecordChecksum);
}


const std::string END9 = Record(9, 0);

struct Read {
    bool ok;
    std::string error;
    InputDetails details;
    std::vector<AddressRange> ranges;
    Bytes image;  // laid out from the lowest address
    uint64_t base = 0;
};

Read ReadText(const std::string &text) {
    Read read{};
    ImageBuilder builder;
    read.ok = kormelt::tool::ReadSRecords(text, &builder, &read.details, &read.error);
    if (read.ok) {
        read.ranges = builder.Ranges();
        Layout layout = builder.Lay({BaseChoice::Kind::Lowest, 0});
        read.image = std::move(layout.data);
        read.base = layout.base;
    }
    return read;
}

TEST(Srecord, RecordsPlaceTheirBytes) {
    struct Case {
        const char *what;
        std::string text;
        uint64_t base;
        Bytes expected;
    };
    const Case cases[] = {
        {"S1 at a 16-bit address", Lines({Record(1, 0x1000, {1, 2, 3}), END9}), 0x1000, {1, 2, 3}},
        {"S2 at a 24-bit address", Lines({Record(2, 0x123456, {4}), Record(8, 0)}), 0x123456, {4}},
        {"S3 at a 32-bit address", Lines({Record(3, 0x08000000, {5, 6}), Record(7, 0)}), 0x08000000, {5, 6}},
        {"records out of order with a gap",
         Lines({Record(3, 0x08000004, {9}), Record(3, 0x08000000, {7, 8}), Record(7, 0)}), 0x08000000,
         {7, 8, 0xFF, 0xFF, 9}},
        {"S1 and S3 mixed", Lines({Record(1, 0x10, {1}), Record(3, 0x11, {2}), END9}), 0x10, {1, 2}},
        {"S1 data ending at 0xFFFF", Lines({Record(1, 0xFFFE, {1, 2}), END9}), 0xFFFE, {1, 2}},
        {"CRLF line ends", Lines({Record(1, 0, {1, 2}), END9}, "\r\n"), 0, {1, 2}},
        {"lower-case digits", Lines({"S1050000ab0a45", END9}), 0, {0xAB, 0x0A}},
        {"blank lines between records", Lines({"", Record(1, 0, {1}), "  ", Record(1, 1, {2}), END9}), 0, {1, 2}},
        {"a count record that agrees",
         Lines({Record(1, 0, {1}), Record(1, 1, {2}), Record(5, 2), Record(1, 2, {3}), Record(5, 3), END9}), 0,
         {1, 2, 3}},
        {"a 24-bit count record", Lines({Record(3, 0, {1}), Record(6, 1), Record(7, 0)}), 0, {1}},
        {"an empty data record counts but places nothing",
         Lines({Record(1, 0, {1}), Record(1, 8), Record(5, 2), END9}), 0, {1}},
        {"records after the termination ignored", Lines({Record(1, 0, {1}), END9, Record(1, 1, {2}), "junk"}), 0, {1}},
        {"no newline after the termination", Lines({Record(1, 0, {1})}) + END9, 0, {1}},
        // As a tool that knows no start address writes it.
        {"a count record and no termination at the end", Lines({Record(3, 0x100, {1}), Record(5, 1)}), 0x100, {1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Read read = ReadText(c.text);
        ASSERT_TRUE(read.ok) << read.error;
        EXPECT_EQ(read.base, c.base);
        EXPECT_EQ(read.image, c.expected);
    }
}

TEST(Srecord, HeaderAndStartAddressAreNoted) {
    struct Case {
        const char *what;
        std::vector<std::string> lines;
        std::string header;
        uint64_t start;
    };
    const Case cases[] = {
        {"S0 text, S9 16-bit start", {Record(0, 0, {'f', 'w', '.', 's', '1', '9'}), Record(1, 0, {1}), Record(9, 0x1234)},
         "fw.s19", 0x1234},
        {"S8 24-bit start", {Record(1, 0, {1}), Record(8, 0xABCDEF)}, "", 0xABCDEF},
        {"S7 32-bit start", {Record(3, 0x08000000, {1}), Record(7, 0x08000101)}, "", 0x08000101},
        {"only the first of two headers", {Record(0, 0, {'a'}), Record(0, 0, {'b'}), Record(1, 0, {1}), END9}, "a", 0},
        {"a header of any bytes", {Record(0, 0, {0x00, 0xFF, 'x'}), Record(1, 0, {1}), END9}, std::string("\0\xFFx", 3),
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Read read = ReadText(Lines(c.lines));
        ASSERT_TRUE(read.ok) << read.error;
        EXPECT_EQ(read.details.header, c.header);
        ASSERT_TRUE(read.details.start.has_value());
        EXPECT_EQ(*read.details.start, c.start);
        EXPECT_EQ(read.details.records, 1u);
    }
}

TEST(Srecord, BadRecordsAreRefusedWithTheirLine) {
    const std::string bad_sum = WithZeroChecksum(Record(1, 0, {1, 2}));
    const std::string odd = WithoutLastDigit(Record(1, 0, {1}));
    const std::string non_ascii = WithCharAt(Record(1, 0, {1}), 4, static_cast<char>(0xC3));
    struct Case {
        const char *what;
        std::string text;
        const char *fragment;
    };
    const Case cases[] = {
        {"bad checksum", Lines({Record(1, 0, {9}), bad_sum, END9}), "line 2: bad checksum 0x00, the record's bytes call for 0xF7"},
        {"odd number of digits", Lines({odd, END9}), "line 1: odd number of hex digits"},
        {"not a hex digit", Lines({"S1040000G1FA", END9}), "line 1: 'G' in column 9 is not a hex digit"},
        {"byte above 0x7F", Lines({non_ascii, END9}),
         "line 1: the byte 0xC3 in column 5 is not a hex digit (not ASCII: an S-record file is plain text)"},
        {"no S", Lines({Record(1, 0, {1}).substr(1), END9}), "line 1: a record must start with 'S'"},
        {"no type digit", Lines({"SX030000FC", END9}), "line 1: a record type is a digit after 'S'"},
        {"reserved S4", Lines({"S4030000FC", END9}), "line 1: S4 is a reserved record type"},
        {"count larger than the record", Lines({"S105000001F9", END9}),
         "line 1: the byte count says 5 bytes follow but the record holds 4"},
        {"count disagrees with the record", Lines({"S10600000102F6", END9}), "line 1: the byte count says 6 bytes follow but the record holds 5"},
        {"too short for its address", Lines({"S30300FC", END9}), "line 1: record too short: an S3 record holds a byte count, a 4-byte address"},
        {"a count record with data", Lines({Record(1, 0, {1}), "S504000101F9", END9}),
         "line 2: an S5 record carries no data, but this one carries 1 byte"},
        {"a count that disagrees", Lines({Record(1, 0, {1}), Record(1, 1, {2}), Record(5, 3), END9}),
         "line 3: the count record says 3 data records came before it, but 2 did"},
        {"S1 data past 0xFFFF", Lines({Record(1, 0xFFFF, {1, 2}), END9}),
         "line 1: the data run past 0xFFFF, the top of the 16-bit addresses of an S1 record"},
        {"S3 data past 4 GiB", Lines({Record(3, 0xFFFFFFFE, {1, 2, 3}), Record(7, 0)}),
         "line 1: the data run past 0xFFFFFFFF, the top of the 32-bit addresses of an S3 record"},
        {"overlapping records", Lines({Record(1, 0, {1, 2, 3}), Record(1, 2, {9}), END9}),
         "line 2: address 0x00000002 was already filled by an earlier record"},
        {"data farther apart than an image spans", Lines({Record(3, 0, {1}), Record(3, 0x01000000, {2}), Record(7, 0)}),
         "line 2: address 0x01000000 lies 16 MiB or more from address 0x00000000"},
        {"neither a termination nor a count at the end", Lines({Record(1, 0, {1}), Record(5, 1), Record(1, 1, {2})}),
         "no termination record (S7, S8 or S9) nor a count record (S5, S6) at the end, after line 3"},
        {"termination only", Lines({Record(0, 0, {'h'}), END9}), "no data records"},
        {"start record with data", Lines({Record(1, 0, {1}), "S9040000AB50"}), "line 2: an S9 record carries no data, but this one carries 1 byte"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Read read = ReadText(c.text);
        EXPECT_FALSE(read.ok);
        EXPECT_NE(read.error.find(c.fragment), std::string::npos) << read.error;
    }
}

}  // namespace
