#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "device/api.h"
#include "protocol/status_names.h"
#include "tests/support/bytes.h"
#include "tests/support/child_call.h"
#include "tests/support/image_vectors.h"
#include "tests/support/not_regular.h"
#include "tests/support/temp_file.h"

namespace {

// Far longer than any check of a small file takes; a call still running
// then is blocked.
constexpr std::chrono::milliseconds CALL_LIMIT{5000};

std::vector<uint8_t> Pattern(size_t length) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) {
        data[i] = static_cast<uint8_t>((i * 131) ^ (i >> 8));
    }
    return data;
}

TEST(CheckCrc, MissingFileOrNullPathGivesMinusOne) {
    EXPECT_EQ(KORMELT_CheckCRC(nullptr), FILE_CHECK_OPEN_FAILED);
    EXPECT_EQ(KORMELT_CheckCRC("/nonexistent/kormelt/image.bin"), FILE_CHECK_OPEN_FAILED);
}

TEST(CheckCrc, SealedImagesPassAcrossChunkBoundaries) {
    // Sizes around the 1024-byte read chunk, so the register is carried over.
    for (size_t length : {0u, 1u, 1021u, 1022u, 1023u, 1024u, 1025u, 4096u, 70000u}) {
        TempFile file(WithCrc(Pattern(length)));
        EXPECT_EQ(KORMELT_CheckCRC(file.path().c_str()), STATUS_OK) << "payload " << length;
    }
}

TEST(CheckCrc, AnySingleChangedByteFails) {
    const std::vector<uint8_t> good = WithCrc(Pattern(1500));
    for (size_t pos : {size_t{0}, size_t{700}, size_t{1023}, size_t{1024}, good.size() - 2, good.size() - 1}) {
        std::vector<uint8_t> bad = good;
        bad[pos] ^= 0x01;
        TempFile file(bad);
        EXPECT_EQ(KORMELT_CheckCRC(file.path().c_str()), STATUS_CRC) << "byte " << pos;
    }
}

TEST(CheckCrc, SwappedTrailerFails) {
    std::vector<uint8_t> image = WithCrc(Pattern(300));
    ASSERT_NE(image[image.size() - 1], image[image.size() - 2]);
    std::swap(image[image.size() - 1], image[image.size() - 2]);
    TempFile file(image);
    EXPECT_EQ(KORMELT_CheckCRC(file.path().c_str()), STATUS_CRC);
}

TEST(CheckCrc, EmptyFileFails) {
    TempFile file(std::vector<uint8_t>{});
    EXPECT_EQ(KORMELT_CheckCRC(file.path().c_str()), STATUS_CRC);
}

TEST(CheckCrc, SharedImageVectors) {
    for (const kormelt::test::ImageVector &vector : kormelt::test::IMAGE_VECTORS) {
        TempFile file(vector.bytes);
        EXPECT_EQ(KORMELT_CheckCRC(file.path().c_str()), vector.check) << vector.name;
    }
}

// Only a regular file is read; anything else gets -1 at once, like a file
// that cannot be opened: a FIFO with no writer would hold the open for ever,
// /dev/zero would be read without end. Each check runs in a child process,
// so a call that blocks fails the case instead of hanging the suite.
TEST(CheckCrc, PathsThatAreNoRegularFileGiveMinusOneAtOnce) {
    NotRegularPaths paths;
    TempFile sealed(WithCrc(Pattern(300)));
    for (const PathCase &c : paths.Cases(FILE_CHECK_OPEN_FAILED, sealed.path(), STATUS_OK)) {
        SCOPED_TRACE(c.what);
        const std::optional<int32_t> status =
            CallInChild<int32_t>([&c] { return KORMELT_CheckCRC(c.path.c_str()); }, CALL_LIMIT);
        if (!status) {
            ADD_FAILURE() << "no answer within " << CALL_LIMIT.count() << " ms";
            continue;
        }
        EXPECT_EQ(*status, c.status);
    }
}

}  // namespace
