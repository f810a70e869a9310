// Separable convolution: a depthwise pass into private per-channel sums, then
// a pointwise pass over those sums. The loader rejects channel counts above
// MaxInputChannels.
#define MaxInputChannels 1024
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          __global const float* weightsDW, __global const float* weightsPW,
                          __global const float* biases, int inputChannels, int outputChannels, int imageWidth)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    const int cx = x * STRIDES+(STRIDES/2);
    const int cy = y * STRIDES+(STRIDES/2);
    const int dxLow = max(-HALF_WIDTH_CEIL, -cx);
    const int dxHigh = min(HALF_WIDTH_FLOOR, SOURCE_IMAGE_1_WIDTH - cx - 1);
    const int dyLow = max(-HALF_HEIGHT_CEIL, -cy);
    const int dyHigh = min(HALF_HEIGHT_FLOOR, SOURCE_IMAGE_1_HEIGHT - cy - 1);
    float sums[INPUT_CHANNELS_1];
    for (int c = 0; c < INPUT_CHANNELS_1; ++c) sums[c] = 0.0f;
    for (int dy = dyLow; dy <= dyHigh; ++dy) {
        for (int dx = dxLow; dx <= dxHigh; ++dx) {
            __global const float* in = data + ((cx + dx) + (cy + dy) * SOURCE_IMAGE_1_WIDTH) * INPUT_CHANNELS_1;
            __global const float* w = weightsDW + ((dy + HALF_HEIGHT_CEIL) * FILTER_WIDTH + dx + HALF_WIDTH_CEIL) * INPUT_CHANNELS_1;
            for (int c = 0; c < INPUT_CHANNELS_1; ++c) sums[c] = fma(in[c], w[c], sums[c]);
        }
    }
    __global float* out = destination + (x + y * imageWidth) * OUTPUT_CHANNELS;
    for (int o = 0; o < OUTPUT_CHANNELS; ++o) {
        float acc = biases[o];
        __global const float* w = weightsPW + o * INPUT_CHANNELS_1;
        for (int c = 0; c < INPUT_CHANNELS_1; ++c) acc = fma(sums[c], w[c], acc);
        out[o] = ACTIVATION(acc);
    }
}
