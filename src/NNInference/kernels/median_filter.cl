// Histogram median of a square window, one work item per row. Values become
// MEDIANCOEF levels; the window histogram slides along the row (one column in,
// one out) and 16-level coarse bins let the searches skip whole bins. Only
// levels within `threshold` of the centre's level take part, so edges with a
// larger step are kept. Border pixels repeat.
__kernel void KERNEL_NAME(__global const float* sourceData, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth, float radiusf, float threshold)
{
    const int y = get_global_id(0);
    const int height = get_global_size(0);
    const int r = (int)clamp(radiusf, 1.0f, 4096.0f);
    const int t = (int)clamp(threshold, -1.0f, (float)MEDIANCOEF);
    const float scale = (float)(MEDIANCOEF - 1);
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) {
        int histogram[MEDIANCOEF];
        int coarse[(MEDIANCOEF + 15) / 16];
        for (int l = 0; l < MEDIANCOEF; ++l) histogram[l] = 0;
        for (int b = 0; b < (MEDIANCOEF + 15) / 16; ++b) coarse[b] = 0;
        for (int dy = -r; dy <= r; ++dy) {
            const int row = clamp(y + dy, 0, height - 1) * imageWidth;
            for (int dx = -r; dx <= r; ++dx) {
                const float v = sourceData[(row + clamp(dx, 0, imageWidth - 1)) * INPUT_CHANNELS_1 + c];
                const int l = (int)clamp(v * scale, 0.0f, scale);
                ++histogram[l];
                ++coarse[l >> 4];
            }
        }
        for (int x = 0; x < imageWidth; ++x) {
            const int at = (x + y * imageWidth) * INPUT_CHANNELS_1 + c;
            const int centre = (int)clamp(sourceData[at] * scale, 0.0f, scale);
            const int low = max(0, centre - t);
            const int high = min(MEDIANCOEF - 1, centre + t);
            int size = 0;
            for (int l = low; l <= high;) {
                if ((l & 15) == 0 && l + 15 <= high) {
                    size += coarse[l >> 4];
                    l += 16;
                } else {
                    size += histogram[l++];
                }
            }
            // The median is the level of the sample of rank size/2; -1 marks
            // "not found" because every level, 0 included, is a valid result.
            const int target = size / 2;
            int running = 0;
            int median = -1;
            for (int l = low; l <= high && median < 0;) {
                if ((l & 15) == 0 && l + 15 <= high && running + coarse[l >> 4] <= target) {
                    running += coarse[l >> 4];
                    l += 16;
                } else {
                    running += histogram[l];
                    if (running > target) median = l;
                    ++l;
                }
            }
            destination[at] = (float)max(median, 0) / scale;
            for (int dy = -r; dy <= r; ++dy) {
                const int row = clamp(y + dy, 0, height - 1) * imageWidth;
                const float in = sourceData[(row + min(x + r + 1, imageWidth - 1)) * INPUT_CHANNELS_1 + c];
                const float out = sourceData[(row + max(x - r, 0)) * INPUT_CHANNELS_1 + c];
                const int li = (int)clamp(in * scale, 0.0f, scale);
                const int lo = (int)clamp(out * scale, 0.0f, scale);
                ++histogram[li];
                ++coarse[li >> 4];
                --histogram[lo];
                --coarse[lo >> 4];
            }
        }
    }
}
