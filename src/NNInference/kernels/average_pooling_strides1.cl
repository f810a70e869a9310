// 2 x 2 mean with step 1; the right and bottom neighbours clamp to the edge.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    const int x1 = min(x + 1, SOURCE_IMAGE_1_WIDTH - 1);
    const int y1 = min(y + 1, SOURCE_IMAGE_1_HEIGHT - 1);
    __global float* out = destination + (x + y * imageWidth) * OUTPUT_CHANNELS;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) {
        const float sum = data[(x + y * SOURCE_IMAGE_1_WIDTH) * OUTPUT_CHANNELS + c] +
                          data[(x1 + y * SOURCE_IMAGE_1_WIDTH) * OUTPUT_CHANNELS + c] +
                          data[(x + y1 * SOURCE_IMAGE_1_WIDTH) * OUTPUT_CHANNELS + c] +
                          data[(x1 + y1 * SOURCE_IMAGE_1_WIDTH) * OUTPUT_CHANNELS + c];
        out[c] = sum * 0.25f;
    }
}
