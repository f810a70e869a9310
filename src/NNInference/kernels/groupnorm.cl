// Column sums per channel (SUM) or sums of squares (SQUARE); one work item
// per column, partialSums laid out (column, channel).
__kernel void KERNEL_NAME(__global const float* data, __global float* partialSums, int imageHeight)
{
    const int x = get_global_id(0);
    float sums[OUTPUT_CHANNELS];
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) sums[c] = 0.0f;
    for (int y = 0; y < imageHeight; ++y) {
        __global const float* in = data + (x + y * SOURCE_IMAGE_1_WIDTH) * OUTPUT_CHANNELS;
        for (int c = 0; c < OUTPUT_CHANNELS; ++c) {
#ifdef SQUARE
            sums[c] = fma(in[c], in[c], sums[c]);
#else
            sums[c] += in[c];
#endif
        }
    }
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) partialSums[x * OUTPUT_CHANNELS + c] = sums[c];
}
