#include "image/BilinearUpscaleWindow.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace {

// One row of weighted taps; fixed channel counts let the compiler unroll.
template <int Channels>
void weightTaps(const float* row0, const float* row1, float* out, const BilinearUpscaleWindow::ColumnTap* taps,
                int count, float wy0, float wy1, int channels)
{
    const int c = Channels > 0 ? Channels : channels;
    for (int j = 0; j < count; ++j) {
        const BilinearUpscaleWindow::ColumnTap& t = taps[j];
        const float w00 = t.weight0 * wy0;
        const float w01 = t.weight1 * wy0;
        const float w10 = t.weight0 * wy1;
        const float w11 = t.weight1 * wy1;
        const float* a = row0 + t.offset0;
        const float* b = row0 + t.offset1;
        const float* d = row1 + t.offset0;
        const float* e = row1 + t.offset1;
        for (int ch = 0; ch < c; ++ch) out[ch] = a[ch] * w00 + b[ch] * w01 + d[ch] * w10 + e[ch] * w11;
        out += c;
    }
}

} // namespace

bool BilinearUpscaleWindow::init(int srcWidth, int srcHeight, int dstWidth, int dstHeight, int channels,
                                 int firstColumn, int columnCount)
{
    if (srcWidth < 1 || srcHeight < 1 || dstWidth < 1 || dstHeight < 1 || channels < 1 || firstColumn < 0 ||
        columnCount < 1 || int64_t(firstColumn) + columnCount > dstWidth)
        return false;
    this->srcWidth = srcWidth;
    this->srcHeight = srcHeight;
    this->channels = channels;
    this->firstColumn = firstColumn;
    this->columnCount = columnCount;
    sx = static_cast<float>(srcWidth) / static_cast<float>(dstWidth);
    sy = static_cast<float>(srcHeight) / static_cast<float>(dstHeight);
    taps.reset(new (std::nothrow) ColumnTap[columnCount]);
    if (taps)
        for (int j = 0; j < columnCount; ++j) taps[j] = columnTap(firstColumn + j);
    return true;
}

BilinearUpscaleWindow::ColumnTap BilinearUpscaleWindow::columnTap(int j) const
{
    const float v = static_cast<float>(j) * sx - 0.25f;
    const int c0 = static_cast<int>(std::floor(v));
    const float fx = v - static_cast<float>(c0);
    const int left = std::min(std::max(0, c0), srcWidth - 1);
    const int right = std::min(std::max(0, c0 + 1), srcWidth - 1);
    return {int64_t(left) * channels, int64_t(right) * channels, 1.0f - fx, fx};
}

void BilinearUpscaleWindow::rowPiece(const float* row0, const float* row1, float* out, const ColumnTap* pieceTaps,
                                     int count, float wy0, float wy1) const
{
    if (channels == 3)
        weightTaps<3>(row0, row1, out, pieceTaps, count, wy0, wy1, channels);
    else if (channels == 1)
        weightTaps<1>(row0, row1, out, pieceTaps, count, wy0, wy1, channels);
    else
        weightTaps<0>(row0, row1, out, pieceTaps, count, wy0, wy1, channels);
}

void BilinearUpscaleWindow::row(const float* src, int i, float* out) const
{
    const float u = static_cast<float>(i) * sy - 0.25f;
    const int top = std::max(0, static_cast<int>(std::floor(u)));
    const float fy = u - static_cast<float>(top); // below 0 at the first rows: extrapolation
    const int64_t stride = int64_t(srcWidth) * channels;
    const float* row0 = src + std::min(top, srcHeight - 1) * stride;
    const float* row1 = src + std::min(top + 1, srcHeight - 1) * stride;
    if (taps) {
        rowPiece(row0, row1, out, taps.get(), columnCount, 1.0f - fy, fy);
        return;
    }
    constexpr int kPiece = 256;
    ColumnTap piece[kPiece];
    for (int j0 = 0; j0 < columnCount; j0 += kPiece) {
        const int n = std::min(kPiece, columnCount - j0);
        for (int j = 0; j < n; ++j) piece[j] = columnTap(firstColumn + j0 + j);
        rowPiece(row0, row1, out + int64_t(j0) * channels, piece, n, 1.0f - fy, fy);
    }
}
