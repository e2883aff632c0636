#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/crc16.h"

using kormelt::CrcBlock;
using kormelt::CrcUpdate;

namespace {

uint16_t CrcOf(const std::vector<uint8_t> &data) { return CrcBlock(data.data(), data.size()); }

TEST(Crc16, TableEntriesAreThoseOfPolynomial0x1021) {
    EXPECT_EQ(kormelt::CRC_TABLE[0], 0x0000);
    EXPECT_EQ(kormelt::CRC_TABLE[1], 0x1021);
    EXPECT_EQ(kormelt::CRC_TABLE[2], 0x2042);
    EXPECT_EQ(kormelt::CRC_TABLE[128], 0x9188);
    EXPECT_EQ(kormelt::CRC_TABLE[255], 0x1EF0);
}

TEST(Crc16, KnownVectors) {
    struct Case {
        std::vector<uint8_t> data;
        uint16_t crc;
    };
    const std::string digits = "123456789";
    const Case cases[] = {
        {{}, 0xAAAA},
        {{digits.begin(), digits.end()}, 0xD180},
        {{'a', 'b', 'c'}, 0x153E},
        {{0x00}, 0xBEA0},
        {{0x01}, 0xAE81},
        {{0x02, 0x0B}, 0x311C},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(CrcOf(c.data), c.crc) << "length " << c.data.size();
    }
}

TEST(Crc16, UpdateChainedOverPiecesEqualsBlock) {
    std::vector<uint8_t> data(3000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    uint16_t crc = kormelt::CRC_INIT;
    for (uint8_t byte : data) {
        crc = CrcUpdate(byte, crc);
    }
    EXPECT_EQ(crc, CrcOf(data));
}

TEST(Crc16, ManyBytesAStepEqualOneAtATime) {
    // Every length around the step size, from several registers, with data
    // that reaches every table index.
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 151 + (i >> 3));
    }
    for (const uint16_t start : {uint16_t{0x0000}, kormelt::CRC_INIT, uint16_t{0xFFFF}, uint16_t{0x8001}}) {
        for (size_t length = 0; length <= data.size(); ++length) {
            uint16_t one_at_a_time = start;
            for (size_t i = 0; i < length; ++i) {
                one_at_a_time = CrcUpdate(data[i], one_at_a_time);
            }
            ASSERT_EQ(kormelt::CrcUpdateBytes(data.data(), length, start), one_at_a_time)
                << "length " << length << " from " << start;
        }
    }
}

TEST(Crc16, DataFollowedByItsCrcGivesZeroAndSwappedDoesNot) {
    for (size_t length = 0; length < 64; ++length) {
        std::vector<uint8_t> data(length);
        for (size_t i = 0; i < length; ++i) {
            data[i] = static_cast<uint8_t>(length * 31 + i * 17);
        }
        const uint16_t crc = CrcOf(data);
        const auto high = static_cast<uint8_t>(crc >> 8);
        const auto low = static_cast<uint8_t>(crc & 0xFF);
        std::vector<uint8_t> sealed = data;
        sealed.push_back(high);
        sealed.push_back(low);
        EXPECT_EQ(CrcOf(sealed), 0) << "length " << length;
        if (high != low) {
            std::vector<uint8_t> swapped = data;
            swapped.push_back(low);
            swapped.push_back(high);
            EXPECT_NE(CrcOf(swapped), 0) << "length " << length;
        }
    }
}

}  // namespace
