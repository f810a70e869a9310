#include "image/ImageOperations.h"

#include "image/BilinearUpscaleWindow.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr float kInv255 = 1.0f / 255.0f;
constexpr float kInv32768 = 1.0f / 32768.0f;

unsigned char floatToByte(float value)
{
    const float scaled = value * 255.0f + 0.5f;
    if (!(scaled >= 0.0f)) return 0; // also catches NaN
    if (scaled >= 255.0f) return 255;
    return static_cast<unsigned char>(scaled);
}

uint16_t floatToHost16(float value)
{
    const float scaled = value * 32768.0f;
    if (!(scaled >= 0.0f)) return 0;
    if (scaled >= 32768.0f) return 32768;
    return static_cast<uint16_t>(scaled);
}

// Mask value on the 0..255 scale for a float plane's mask; "on" from 128.
bool floatPlaneMaskOn(const unsigned char* mask, size_t i, int maskDepth)
{
    switch (maskDepth) {
    case 32: {
        float m;
        std::memcpy(&m, mask + i * sizeof(float), sizeof(float));
        const float scaled = m * 255.0f;
        return scaled >= 128.0f;
    }
    case 16: {
        uint16_t s;
        std::memcpy(&s, mask + i * sizeof(uint16_t), sizeof(uint16_t));
        return (s >> 7) >= 128;
    }
    case 8:
        return mask[i] >= 128;
    default:
        return true;
    }
}

void extract8(const float* rgba, unsigned char* plane, size_t count, int channel, const unsigned char* mask)
{
    for (size_t i = 0; i < count; ++i) {
        if (mask && mask[i] < 128) continue;
        plane[i] = floatToByte(rgba[i * 4 + channel]);
    }
}

void extract16(const float* rgba, unsigned char* plane, size_t count, int channel, const unsigned char* mask,
               int maskDepth)
{
    for (size_t i = 0; i < count; ++i) {
        if (mask) {
            bool on;
            if (maskDepth == 8) {
                on = mask[i] >= 128;
            } else {
                uint16_t m;
                std::memcpy(&m, mask + i * sizeof(uint16_t), sizeof(uint16_t));
                on = m >= 16384;
            }
            if (!on) continue;
        }
        const uint16_t sample = floatToHost16(rgba[i * 4 + channel]);
        std::memcpy(plane + i * sizeof(uint16_t), &sample, sizeof(uint16_t));
    }
}

void extract32(const float* rgba, unsigned char* plane, size_t count, int channel, const unsigned char* mask,
               int maskDepth)
{
    for (size_t i = 0; i < count; ++i) {
        if (mask && !floatPlaneMaskOn(mask, i, maskDepth)) continue;
        std::memcpy(plane + i * sizeof(float), &rgba[i * 4 + channel], sizeof(float));
    }
}

// One destination row of the box reduction. Each value is summed in block
// order (rows of the block, then its columns) from zero, then scaled; the
// fixed-size instances let the compiler unroll the block completely.
template <int Channels, int K>
void downscaleRow(const float* in, int64_t srcStride, float* out, int dstWidth, int channels, int k, float scale)
{
    const int c = Channels > 0 ? Channels : channels;
    const int kk = K > 0 ? K : k;
    for (int x = 0; x < dstWidth; ++x) {
        const float* block = in + static_cast<int64_t>(x) * kk * c;
        for (int ch = 0; ch < c; ++ch) {
            float sum = 0.0f;
            for (int dy = 0; dy < kk; ++dy)
                for (int dx = 0; dx < kk; ++dx) sum += block[dy * srcStride + dx * c + ch];
            out[static_cast<int64_t>(x) * c + ch] = sum * scale;
        }
    }
}

using DownscaleRowFunction = void (*)(const float*, int64_t, float*, int, int, int, float);

DownscaleRowFunction downscaleRowFunction(int channels, int k)
{
    if (channels == 3) {
        if (k == 1) return downscaleRow<3, 1>;
        if (k == 2) return downscaleRow<3, 2>;
        if (k == 3) return downscaleRow<3, 3>;
        return downscaleRow<3, 0>;
    }
    if (channels == 1) {
        if (k == 2) return downscaleRow<1, 2>;
        if (k == 3) return downscaleRow<1, 3>;
        return downscaleRow<1, 0>;
    }
    return downscaleRow<0, 0>;
}

} // namespace

void imageEmbedPlaneIntoRGBFloat(const unsigned char* plane, float* rgb, int width, int height, int rowBytes,
                                 int depth, int channel)
{
    if (width < 1 || height < 1 || plane == nullptr || rgb == nullptr) return;
    for (int y = 0; y < height; ++y) {
        const unsigned char* row = plane + static_cast<int64_t>(y) * rowBytes;
        float* out = rgb + static_cast<int64_t>(y) * width * 3 + channel;
        switch (depth) {
        case 8:
            for (int x = 0; x < width; ++x) out[x * 3] = static_cast<float>(row[x]) * kInv255;
            break;
        case 16:
            for (int x = 0; x < width; ++x) {
                uint16_t s;
                std::memcpy(&s, row + x * sizeof(uint16_t), sizeof(uint16_t));
                out[x * 3] = static_cast<float>(s) * kInv32768;
            }
            break;
        case 32:
            for (int x = 0; x < width; ++x) std::memcpy(&out[x * 3], row + x * sizeof(float), sizeof(float));
            break;
        default:
            return;
        }
    }
}

void imageExtractPlaneFromRGBFloatWithMask(const float* rgba, unsigned char* plane, size_t count, int depth,
                                           int channel, const unsigned char* mask, int maskDepth)
{
    if (rgba == nullptr || plane == nullptr) return;
    switch (depth) {
    case 8: extract8(rgba, plane, count, channel, mask); break;
    case 16: extract16(rgba, plane, count, channel, mask, maskDepth); break;
    case 32: extract32(rgba, plane, count, channel, mask, maskDepth); break;
    default: break;
    }
}

void imagePremultiplyAlphaToWhite(float* rgba, size_t count, int /*ignored*/)
{
    for (size_t i = 0; i < count; ++i) {
        float* p = rgba + i * 4;
        const float a = std::min(p[3], 1.0f);
        p[0] = 1.0f - (1.0f - p[0]) * a;
        p[1] = 1.0f - (1.0f - p[1]) * a;
        p[2] = 1.0f - (1.0f - p[2]) * a;
    }
}

void imageDownscaleIntegral(const image_template<float>& src, image_template<float> dst, int k)
{
    if (dst.width < 1 || dst.height < 1 || src.channels < 1 || k < 1) return;
    const int64_t srcStride = static_cast<int64_t>(src.width) * src.channels;
    const int64_t dstStride = static_cast<int64_t>(dst.width) * dst.channels;
    const float scale = (1.0f / static_cast<float>(k)) / static_cast<float>(k);
    DownscaleRowFunction row = downscaleRowFunction(src.channels, k);
    for (int64_t y = 0; y < dst.height; ++y)
        row(src.data + y * k * srcStride, srcStride, dst.data + y * dstStride, dst.width, src.channels, k, scale);
}

namespace {

// The bilinear enlargement; when `subtrahend` is given, each output row has
// the matching row of it subtracted while the row is still in cache.
void upscaleBilinear(const float* src, float* dst, int srcWidth, int srcHeight, int dstWidth, int dstHeight,
                     int channels, const float* subtrahend)
{
    BilinearUpscaleWindow window;
    if (!window.init(srcWidth, srcHeight, dstWidth, dstHeight, channels, 0, dstWidth)) return;
    const int64_t dstStride = static_cast<int64_t>(dstWidth) * channels;
    for (int i = 0; i < dstHeight; ++i) {
        float* out = dst + i * dstStride;
        window.row(src, i, out);
        if (subtrahend) {
            const float* minus = subtrahend + i * dstStride;
            for (int64_t e = 0; e < dstStride; ++e) out[e] -= minus[e];
        }
    }
}

} // namespace

void imageUpscaleBilinear(const float* src, float* dst, int srcWidth, int srcHeight, int dstWidth, int dstHeight,
                          int channels)
{
    upscaleBilinear(src, dst, srcWidth, srcHeight, dstWidth, dstHeight, channels, nullptr);
}

void imageNonDestructiveDownscale(const image_template<float>& src, int k, image_template<float>& small,
                                  image_template<float>& residual)
{
    if (k < 1) k = 1;
    if (!small.allocate(src.width / k, src.height / k, src.channels)) return;
    if (!residual.allocate(src.width, src.height, src.channels)) {
        small.release();
        return;
    }
    imageNonDestructiveDownscaleInto(src, k, small, residual);
}

void imageNonDestructiveDownscaleInto(const image_template<float>& src, int k, image_template<float> small,
                                      image_template<float> residual)
{
    if (small.data == nullptr || residual.data == nullptr) return;
    imageDownscaleIntegral(src, small, k);
    upscaleBilinear(small.data, residual.data, small.width, small.height, residual.width, residual.height,
                    src.channels, src.data);
}

namespace {

void copyRGBToRGBA(const image_template<float>& rgb, image_template<float>& rgba)
{
    const int64_t pixels = static_cast<int64_t>(rgb.width) * rgb.height;
    const float* in = rgb.data;
    float* out = rgba.data;
    for (int64_t i = 0; i < pixels; ++i) {
        out[i * 4 + 0] = in[i * 3 + 0];
        out[i * 4 + 1] = in[i * 3 + 1];
        out[i * 4 + 2] = in[i * 3 + 2];
        out[i * 4 + 3] = 1.0f;
    }
}

// Half-open source interval [begin, end) of destination index i (1-based).
struct Span {
    int begin;
    int end;
};

// The boxes are computed once per destination row or column and reused.
void columnSpans(int srcWidth, int dstWidth, Span* spans)
{
    int previous = 0;
    for (int j = 1; j <= dstWidth; ++j) {
        int end = static_cast<int>(static_cast<int64_t>(srcWidth) * j / dstWidth);
        if (end == 0) end = 1;
        // Only reached for a destination wider than the source: keep the box
        // inside the image and non-empty.
        const int begin = std::min(previous, srcWidth - 1);
        end = std::max(std::min(end, srcWidth), begin + 1);
        spans[j - 1] = {begin, end};
        previous = end;
    }
}

Span rowSpan(int srcHeight, int dstHeight, int i, int previousEnd)
{
    const int begin = std::min(previousEnd, srcHeight - 1);
    int end = static_cast<int>(std::min<int64_t>(srcHeight, static_cast<int64_t>(srcHeight) * i / dstHeight));
    if (end == 0) end = 1;
    end = std::max(end, begin + 1);
    return {begin, end};
}

} // namespace

void ResizeImageForDisplay34(const image_template<float>& rgb, image_template<float>& rgba)
{
    if (rgb.data == nullptr || rgba.data == nullptr || rgb.channels != 3 || rgba.channels != 4) return;
    if (rgba.width < 1 || rgba.height < 1 || rgb.width < 1 || rgb.height < 1) return;
    if (rgb.width == rgba.width && rgb.height == rgba.height) {
        copyRGBToRGBA(rgb, rgba);
        return;
    }
    std::unique_ptr<Span[]> columns(new (std::nothrow) Span[rgba.width]);
    if (!columns) return;
    columnSpans(rgb.width, rgba.width, columns.get());

    const int64_t srcStride = static_cast<int64_t>(rgb.width) * 3;
    int previousRowEnd = 0;
    for (int i = 1; i <= rgba.height; ++i) {
        const Span rows = rowSpan(rgb.height, rgba.height, i, previousRowEnd);
        previousRowEnd = rows.end;
        float* out = rgba.data + static_cast<int64_t>(i - 1) * rgba.width * 4;
        for (int j = 0; j < rgba.width; ++j) {
            const Span cols = columns[j];
            float r = 0.0f, g = 0.0f, b = 0.0f;
            for (int y = rows.begin; y < rows.end; ++y) {
                const float* p = rgb.data + y * srcStride + static_cast<int64_t>(cols.begin) * 3;
                for (int x = cols.begin; x < cols.end; ++x, p += 3) {
                    r += p[0];
                    g += p[1];
                    b += p[2];
                }
            }
            const float area = static_cast<float>((cols.end - cols.begin) * (rows.end - rows.begin));
            out[j * 4 + 0] = r / area;
            out[j * 4 + 1] = g / area;
            out[j * 4 + 2] = b / area;
            out[j * 4 + 3] = 1.0f;
        }
    }
}
