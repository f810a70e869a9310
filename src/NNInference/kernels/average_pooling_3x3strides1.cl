// 3 x 3 mean with step 1; coordinates outside the image repeat the edge.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    __global float* out = destination + (x + y * imageWidth) * OUTPUT_CHANNELS;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) {
        float sum = 0.0f;
        for (int dy = -1; dy <= 1; ++dy) {
            const int sy = clamp(y + dy, 0, SOURCE_IMAGE_1_HEIGHT - 1);
            for (int dx = -1; dx <= 1; ++dx) {
                const int sx = clamp(x + dx, 0, SOURCE_IMAGE_1_WIDTH - 1);
                sum += data[(sx + sy * SOURCE_IMAGE_1_WIDTH) * OUTPUT_CHANNELS + c];
            }
        }
        out[c] = sum * 0.11111111f;
    }
}
