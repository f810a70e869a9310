// Depthwise convolution: each channel with its own filter, laid out as
// (row, column, channel), channel innermost. Taps are clipped to the source.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          __global const float* filter, __global const float* biases,
                          int unused, int outputChannels, int imageWidth)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    const int cx = x * STRIDES+(STRIDES/2);
    const int cy = y * STRIDES+(STRIDES/2);
    const int dxLow = max(-HALF_WIDTH_CEIL, -cx);
    const int dxHigh = min(HALF_WIDTH_FLOOR, SOURCE_IMAGE_1_WIDTH - cx - 1);
    const int dyLow = max(-HALF_HEIGHT_CEIL, -cy);
    const int dyHigh = min(HALF_HEIGHT_FLOOR, SOURCE_IMAGE_1_HEIGHT - cy - 1);
    __global float* out = destination + (x + y * imageWidth) * OUTPUT_CHANNELS;
    float acc[OUTPUT_CHANNELS];
    for (int o = 0; o < OUTPUT_CHANNELS; ++o) acc[o] = biases[o];
    for (int dy = dyLow; dy <= dyHigh; ++dy) {
        for (int dx = dxLow; dx <= dxHigh; ++dx) {
            __global const float* in = data + ((cx + dx) + (cy + dy) * SOURCE_IMAGE_1_WIDTH) * OUTPUT_CHANNELS;
            __global const float* w = filter + ((dy + HALF_HEIGHT_CEIL) * FILTER_WIDTH + dx + HALF_WIDTH_CEIL) * OUTPUT_CHANNELS;
            for (int o = 0; o < OUTPUT_CHANNELS; ++o) acc[o] = fma(in[o], w[o], acc[o]);
        }
    }
    for (int o = 0; o < OUTPUT_CHANNELS; ++o) out[o] = ACTIVATION(acc[o]);
}
