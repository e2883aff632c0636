// The image trailer as the tool reads it, against the vectors that the
// library's, the binding's and the command line's tests read too.
#include <gtest/gtest.h>

#include "protocol/protocol.h"
#include "tests/support/image_vectors.h"
#include "tools/kormelt/image.h"

namespace {

TEST(ImageTrailer, SharedImageVectors) {
    for (const kormelt::test::ImageVector &vector : kormelt::test::IMAGE_VECTORS) {
        const kormelt::tool::Trailer trailer = kormelt::tool::InspectTrailer(vector.bytes);
        EXPECT_EQ(trailer.present, vector.has_trailer) << vector.name;
        if (vector.has_trailer) {
            EXPECT_EQ(trailer.stored, vector.stored) << vector.name;
            EXPECT_EQ(trailer.computed, vector.computed) << vector.name;
            EXPECT_EQ(trailer.data_bytes, vector.bytes.size() - kormelt::CRC_TRAILER_BYTES) << vector.name;
        }
    }
}

}  // namespace
