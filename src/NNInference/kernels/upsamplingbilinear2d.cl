// Bilinear 2x enlargement: weights 9/16, 3/16, 3/16, 1/16 from the nearest
// source pixel and its neighbours toward the output pixel.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    const int x1 = min(x / 2, SOURCE_IMAGE_1_WIDTH - 1);
    const int x2 = clamp((x - 1) / 2 + x % 2, 0, SOURCE_IMAGE_1_WIDTH - 1);
    const int y1 = min(y / 2, SOURCE_IMAGE_1_HEIGHT - 1);
    const int y2 = clamp((y - 1) / 2 + y % 2, 0, SOURCE_IMAGE_1_HEIGHT - 1);
    __global const float* a = data + (x1 + y1 * SOURCE_IMAGE_1_WIDTH) * OUTPUT_CHANNELS;
    __global const float* b = data + (x1 + y2 * SOURCE_IMAGE_1_WIDTH) * OUTPUT_CHANNELS;
    __global const float* d = data + (x2 + y1 * SOURCE_IMAGE_1_WIDTH) * OUTPUT_CHANNELS;
    __global const float* e = data + (x2 + y2 * SOURCE_IMAGE_1_WIDTH) * OUTPUT_CHANNELS;
    __global float* out = destination + (x + y * imageWidth) * OUTPUT_CHANNELS;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c)
        out[c] = (9.0f * a[c] + 3.0f * b[c] + 3.0f * d[c] + e[c]) * 0.0625f;
}
