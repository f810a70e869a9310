#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "image/image_template.h"

TEST(ImageTemplate, EmptyImageShape)
{
    image_template<float> image;
    EXPECT_EQ(image.shape(), "(0, 0, 0)");
    EXPECT_TRUE(image.empty());
}

TEST(ImageTemplate, AllocateKeepsSlackAndShape)
{
    image_template<float> image;
    ASSERT_TRUE(image.allocate(640, 480, 3));
    EXPECT_EQ(image.shape(), "(640, 480, 3)");
    EXPECT_EQ(image.elementCount(), 640 * 480 * 3);
    image.data[640 * 480 * 3 + 2] = 1.0f; // the slack is addressable
    image.release();
    EXPECT_EQ(image.shape(), "(0, 0, 0)");
}

// Sizes whose element count overflows 32 bits must not wrap into a small
// allocation that callers would then write past.
TEST(ImageTemplate, RefusesSizesThatCannotBeAddressed)
{
    image_template<float> image;
    const int32_t big = std::numeric_limits<int32_t>::max();
    EXPECT_FALSE(image.allocate(big, big, 4));
    EXPECT_TRUE(image.empty());
    EXPECT_EQ(image.width, 0);
    EXPECT_FALSE(image.allocate(-5, 4, 3));
    EXPECT_TRUE(image.empty());
}
