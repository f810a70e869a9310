#pragma once
// Rows of a bilinear enlargement, restricted to a window of columns, with the
// arithmetic of imageUpscaleBilinear: a quarter-pixel offset, the first rows
// extrapolated from source rows 0 and 1, edges clamped horizontally. Callers
// that need only part of an enlarged image (the core of a tile) compute just
// that part, with values identical to those of the whole enlargement.

#include <cstdint>
#include <memory>

class BilinearUpscaleWindow {
public:
    // Enlargement of srcWidth x srcHeight to dstWidth x dstHeight; the window
    // holds destination columns [firstColumn, firstColumn + columnCount).
    // False for sizes below 1 or a window outside the destination.
    bool init(int srcWidth, int srcHeight, int dstWidth, int dstHeight, int channels, int firstColumn,
              int columnCount);
    // Destination row i of the window: columnCount x channels values.
    void row(const float* src, int i, float* out) const;

    struct ColumnTap {
        int64_t offset0; // element offset of the left tap within a source row
        int64_t offset1; // element offset of the right tap
        float weight0;   // 1 - fx
        float weight1;   // fx
    };

private:
    ColumnTap columnTap(int j) const;
    void rowPiece(const float* row0, const float* row1, float* out, const ColumnTap* taps, int count, float wy0,
                  float wy1) const;

    int srcWidth = 0, srcHeight = 0, channels = 0;
    int firstColumn = 0, columnCount = 0;
    float sx = 0, sy = 0;
    // Column taps once per column; null when memory was short, and the taps
    // are then recomputed per row in pieces.
    std::unique_ptr<ColumnTap[]> taps;
};
