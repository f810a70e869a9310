#include "engine/MaskPreview.h"

#include <algorithm>
#include <cmath>

namespace {

int64_t boxEnd(int64_t index, int64_t full, int64_t reduced)
{
    return std::min<int64_t>(full, std::max<int64_t>(1, (index + 1) * full / reduced));
}

} // namespace

void drawMaskPreviewRows(const MaskPreviewRows& job)
{
    const int64_t W = job.imageWidth;
    const int64_t H = job.imageHeight;
    const int64_t w = job.previewWidth;
    const int64_t h = job.previewHeight;
    const int oc = job.originalChannels;
    int64_t y0 = static_cast<int64_t>(job.firstRow) * H / h;
    for (int64_t y = job.firstRow; y < job.endRow; ++y) {
        const int64_t y1 = boxEnd(y, H, h);
        int64_t x0 = 0;
        float* out = job.preview + y * w * 4;
        for (int64_t x = 0; x < w; ++x, out += 4) {
            const int64_t x1 = boxEnd(x, W, w);
            float net[3] = {0, 0, 0};
            float org[3] = {0, 0, 0};
            for (int64_t sy = y0; sy < y1; ++sy) {
                const float* n = job.network + (sy * W + x0) * 3;
                const float* o = job.original + (sy * W + x0) * oc;
                for (int64_t sx = x0; sx < x1; ++sx, n += 3, o += oc)
                    for (int c = 0; c < 3; ++c) {
                        net[c] += n[c];
                        org[c] += o[c];
                    }
            }
            const float count = static_cast<float>((y1 - y0) * (x1 - x0));
            for (int c = 0; c < 3; ++c) {
                net[c] /= count;
                org[c] /= count;
            }
            const int64_t corner = y0 * W + x0;
            float q = static_cast<float>(job.brushMask[corner]) / 255.0f;
            if (job.subjectMask) q = (1.0f - static_cast<float>(job.subjectMask[corner]) / 255.0f) * q;
            const float d = 10.0f * job.strength * q;
            out[0] = net[0];
            out[1] = std::clamp((std::fabs(org[0] - net[0]) + std::fabs(org[1] - net[1])) * d + net[1] * (1.0f - q),
                                0.0f, 1.0f);
            out[2] = std::clamp(std::fabs(org[2] - net[2]) * d + net[2] * (1.0f - q), 0.0f, 1.0f);
            out[3] = 1.0f;
            x0 = x1;
        }
        y0 = y1;
    }
}
