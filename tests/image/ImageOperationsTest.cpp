#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "image/ImageOperations.h"

namespace {

// An owning image for tests.
struct TestImage {
    image_template<float> image;
    TestImage(int w, int h, int c) { image.allocate(w, h, c); }
    ~TestImage() { image.release(); }
    float& at(int x, int y, int c) { return image.data[(int64_t(y) * image.width + x) * image.channels + c]; }
};

} // namespace

TEST(ImageUpscaleBilinear, FirstRowIsExtrapolatedAndFirstColumnCopied)
{
    // 2 x 2 source, one channel: rows differ so the vertical extrapolation shows.
    const float src[4] = {1.0f, 3.0f, 5.0f, 11.0f};
    float dst[16];
    imageUpscaleBilinear(src, dst, 2, 2, 4, 4, 1);
    // Row 0 (u = -0.25): 1.25 x row 0 - 0.25 x row 1 at column 0.
    EXPECT_FLOAT_EQ(dst[0], 1.25f * 1.0f - 0.25f * 5.0f);
    // Column 0 uses only source column 0 on every row.
    for (int i = 0; i < 4; ++i) {
        const float u = i * 0.5f - 0.25f;
        const int r0 = u < 0 ? 0 : int(u);
        const float fy = u - r0;
        const int r1 = r0 + 1 > 1 ? 1 : r0 + 1;
        EXPECT_FLOAT_EQ(dst[i * 4], src[r0 * 2] * (1 - fy) + src[r1 * 2] * fy) << "row " << i;
    }
    // Column 3 (v = 1.25): both taps clamp to column 1.
    EXPECT_FLOAT_EQ(dst[3], 1.25f * 3.0f - 0.25f * 11.0f);
}

TEST(ImageUpscaleBilinear, EqualSizeCopiesExceptTheExtrapolatedEdge)
{
    // At equal size, u = i - 0.25: interior rows mix i-1 and i with weights 0.25/0.75.
    const float src[3] = {0.0f, 4.0f, 8.0f}; // 1 x 3 column
    float dst[3];
    imageUpscaleBilinear(src, dst, 1, 3, 1, 3, 1);
    EXPECT_FLOAT_EQ(dst[0], -1.0f);
    EXPECT_FLOAT_EQ(dst[1], 3.0f);
    EXPECT_FLOAT_EQ(dst[2], 7.0f);
}

TEST(ImageDownscaleIntegral, FactorOneCopiesAndFactorTwoAverages)
{
    TestImage src(4, 2, 3);
    for (int64_t i = 0; i < src.image.elementCount(); ++i) src.image.data[i] = float(i);
    TestImage same(4, 2, 3);
    imageDownscaleIntegral(src.image, same.image, 1);
    EXPECT_EQ(0, std::memcmp(src.image.data, same.image.data, sizeof(float) * 24));

    TestImage half(2, 1, 3);
    imageDownscaleIntegral(src.image, half.image, 2);
    // Pixel (0,0) channel 0 averages source pixels (0,0),(1,0),(0,1),(1,1).
    EXPECT_FLOAT_EQ(half.at(0, 0, 0), (src.at(0, 0, 0) + src.at(1, 0, 0) + src.at(0, 1, 0) + src.at(1, 1, 0)) / 4);
    EXPECT_FLOAT_EQ(half.at(1, 0, 2), (src.at(2, 0, 2) + src.at(3, 0, 2) + src.at(2, 1, 2) + src.at(3, 1, 2)) / 4);
}

TEST(ImageNonDestructiveDownscale, ConstantImageHasZeroResidual)
{
    TestImage src(9, 7, 3);
    for (int64_t i = 0; i < src.image.elementCount(); ++i) src.image.data[i] = 0.3f;
    image_template<float> small, residual;
    imageNonDestructiveDownscale(src.image, 3, small, residual);
    ASSERT_NE(small.data, nullptr);
    EXPECT_EQ(small.shape(), "(3, 2, 3)");
    for (int64_t i = 0; i < small.elementCount(); ++i) EXPECT_NEAR(small.data[i], 0.3f, 1e-6f);
    for (int64_t i = 0; i < residual.elementCount(); ++i) EXPECT_NEAR(residual.data[i], 0.0f, 1e-6f);
    small.release();
    residual.release();
}

// The last row and column of an odd source are outside every box but their
// detail must still be recoverable from the residual.
TEST(ImageNonDestructiveDownscale, OddSourceRestoresEveryPixel)
{
    TestImage src(5, 5, 1);
    for (int64_t i = 0; i < 25; ++i) src.image.data[i] = float((i * 7) % 11) / 10.0f;
    image_template<float> small, residual;
    imageNonDestructiveDownscale(src.image, 2, small, residual);
    ASSERT_EQ(small.shape(), "(2, 2, 1)");
    ASSERT_EQ(residual.shape(), "(5, 5, 1)");
    std::vector<float> up(25);
    imageUpscaleBilinear(small.data, up.data(), 2, 2, 5, 5, 1);
    for (int i = 0; i < 25; ++i) EXPECT_NEAR(up[i] - residual.data[i], src.image.data[i], 1e-6f) << i;
    // The corner pixel's value enters only through the residual.
    EXPECT_NE(residual.data[24], 0.0f);
    small.release();
    residual.release();
}

TEST(ResizeImageForDisplay34, AveragesUnequalBoxes)
{
    TestImage rgb(5, 1, 3);
    for (int x = 0; x < 5; ++x)
        for (int c = 0; c < 3; ++c) rgb.at(x, 0, c) = float(x + 1) * (c + 1);
    TestImage rgba(2, 1, 4);
    ResizeImageForDisplay34(rgb.image, rgba.image);
    EXPECT_FLOAT_EQ(rgba.at(0, 0, 0), (1 + 2) / 2.0f);     // columns [0, 2)
    EXPECT_FLOAT_EQ(rgba.at(1, 0, 0), (3 + 4 + 5) / 3.0f); // columns [2, 5)
    EXPECT_FLOAT_EQ(rgba.at(1, 0, 2), 3 * (3 + 4 + 5) / 3.0f);
    EXPECT_FLOAT_EQ(rgba.at(0, 0, 3), 1.0f);
    EXPECT_FLOAT_EQ(rgba.at(1, 0, 3), 1.0f);
}

TEST(ResizeImageForDisplay34, SameSizeCopiesWithOpaqueAlpha)
{
    TestImage rgb(2, 2, 3);
    for (int64_t i = 0; i < 12; ++i) rgb.image.data[i] = float(i) / 12;
    TestImage rgba(2, 2, 4);
    ResizeImageForDisplay34(rgb.image, rgba.image);
    for (int p = 0; p < 4; ++p) {
        for (int c = 0; c < 3; ++c) EXPECT_EQ(rgba.image.data[p * 4 + c], rgb.image.data[p * 3 + c]);
        EXPECT_EQ(rgba.image.data[p * 4 + 3], 1.0f);
    }
}

TEST(ImagePlanes, EmbedEachDepth)
{
    const uint8_t bytes[4] = {0, 255, 51, 0}; // 2 x 2, rowBytes 2
    float rgb[12] = {};
    imageEmbedPlaneIntoRGBFloat(bytes, rgb, 2, 2, 2, 8, 1);
    EXPECT_FLOAT_EQ(rgb[1 * 3 + 1], 1.0f);
    EXPECT_FLOAT_EQ(rgb[2 * 3 + 1], 0.2f);
    EXPECT_EQ(rgb[0], 0.0f); // other channels untouched

    // 16-bit rows with padding: rowBytes 6 holds 3 samples, only 2 used.
    const uint16_t samples[6] = {32768, 16384, 999, 0, 8192, 999};
    float rgb16[12] = {};
    imageEmbedPlaneIntoRGBFloat(reinterpret_cast<const uint8_t*>(samples), rgb16, 2, 2, 6, 16, 2);
    EXPECT_EQ(rgb16[0 * 3 + 2], 1.0f);
    EXPECT_EQ(rgb16[1 * 3 + 2], 0.5f);
    EXPECT_EQ(rgb16[3 * 3 + 2], 0.25f);

    float rgbUnknown[3] = {7, 7, 7};
    imageEmbedPlaneIntoRGBFloat(bytes, rgbUnknown, 1, 1, 1, 12, 0);
    EXPECT_EQ(rgbUnknown[0], 7.0f);
}

TEST(ImagePlanes, Extract16BitLimitsAndMask)
{
    const float rgba[16] = {1.0f, 0, 0, 0, 7.5f, 0, 0, 0, 0.0f, 0, 0, 0, -2.0f, 0, 0, 0};
    uint16_t plane[4] = {5, 5, 5, 5};
    imageExtractPlaneFromRGBFloatWithMask(rgba, reinterpret_cast<uint8_t*>(plane), 4, 16, 0, nullptr, 8);
    EXPECT_EQ(plane[0], 32768);
    EXPECT_EQ(plane[1], 32768);
    EXPECT_EQ(plane[2], 0);
    EXPECT_EQ(plane[3], 0);

    // 16-bit mask: "on" from 16384.
    const uint16_t mask[4] = {16384, 16383, 0, 65535};
    uint16_t masked[4] = {9, 9, 9, 9};
    imageExtractPlaneFromRGBFloatWithMask(rgba, reinterpret_cast<uint8_t*>(masked), 4, 16, 0,
                                          reinterpret_cast<const uint8_t*>(mask), 16);
    EXPECT_EQ(masked[0], 32768);
    EXPECT_EQ(masked[1], 9);
    EXPECT_EQ(masked[2], 9);
    EXPECT_EQ(masked[3], 0);
}

TEST(ImagePlanes, Extract8And32Bit)
{
    const float rgba[8] = {0, 0.5f, 0, 0, 0, 1.2f, 0, 0};
    uint8_t bytes[2] = {};
    imageExtractPlaneFromRGBFloatWithMask(rgba, bytes, 2, 8, 1, nullptr, 8);
    EXPECT_EQ(bytes[0], 128); // 127.5 + 0.5 truncated
    EXPECT_EQ(bytes[1], 255);

    // Float plane with a float mask: on where mask x 255 >= 128.
    const float mask[2] = {0.6f, 0.4f};
    float plane[2] = {-1, -1};
    imageExtractPlaneFromRGBFloatWithMask(rgba, reinterpret_cast<uint8_t*>(plane), 2, 32, 1,
                                          reinterpret_cast<const uint8_t*>(mask), 32);
    EXPECT_EQ(plane[0], 0.5f);
    EXPECT_EQ(plane[1], -1.0f);
}

TEST(ImagePremultiplyAlphaToWhite, TransparentBecomesWhiteAndAlphaAboveOneIsOne)
{
    float rgba[8] = {0.2f, 0.4f, 0.6f, 0.0f, 0.2f, 0.4f, 0.6f, 2.0f};
    imagePremultiplyAlphaToWhite(rgba, 2, 0);
    EXPECT_EQ(rgba[0], 1.0f);
    EXPECT_EQ(rgba[1], 1.0f);
    EXPECT_EQ(rgba[2], 1.0f);
    EXPECT_EQ(rgba[3], 0.0f);
    EXPECT_FLOAT_EQ(rgba[4], 0.2f);
    EXPECT_FLOAT_EQ(rgba[6], 0.6f);
    EXPECT_EQ(rgba[7], 2.0f);
}
