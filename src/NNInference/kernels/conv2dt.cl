// Convolution with zero padding by clipped taps. The weights buffer holds the
// filter as (row, column, input channel, output channel), output channel
// innermost, so that all output channels of one tap are contiguous.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          __global const float* weights, __global const float* biases,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    const int cx = x * STRIDES+(STRIDES/2);
    const int cy = y * STRIDES+(STRIDES/2);
    int dxLow = -HALF_WIDTH_CEIL;
    int dxHigh = HALF_WIDTH_FLOOR;
    int dyLow = -HALF_HEIGHT_CEIL;
    int dyHigh = HALF_HEIGHT_FLOOR;
    if (cx + dxLow * DILATION_RATE < 0) dxLow = -cx / DILATION_RATE;
    if (cx + dxHigh * DILATION_RATE >= SOURCE_IMAGE_1_WIDTH) dxHigh = (SOURCE_IMAGE_1_WIDTH - cx - 1) / DILATION_RATE;
    if (cy + dyLow * DILATION_RATE < 0) dyLow = -cy / DILATION_RATE;
    if (cy + dyHigh * DILATION_RATE >= SOURCE_IMAGE_1_HEIGHT) dyHigh = (SOURCE_IMAGE_1_HEIGHT - cy - 1) / DILATION_RATE;
    const bool interior = dxLow == -HALF_WIDTH_CEIL && dxHigh == HALF_WIDTH_FLOOR &&
                          dyLow == -HALF_HEIGHT_CEIL && dyHigh == HALF_HEIGHT_FLOOR;
    __global float* out = destination + (x + y * imageWidth) * OUTPUT_CHANNELS;

#if (OUTPUT_CHANNELS % 16) == 0
    float16 acc[OUTPUT_CHANNELS / 16];
    for (int g = 0; g < OUTPUT_CHANNELS / 16; ++g) acc[g] = vload16(g, biases);
    if (interior) {
        #pragma unroll
        for (int dy = -HALF_HEIGHT_CEIL; dy <= HALF_HEIGHT_FLOOR; ++dy) {
            #pragma unroll
            for (int dx = -HALF_WIDTH_CEIL; dx <= HALF_WIDTH_FLOOR; ++dx) {
                __global const float* in = data + ((cx + dx * DILATION_RATE) + (cy + dy * DILATION_RATE) * SOURCE_IMAGE_1_WIDTH) * INPUT_CHANNELS_1;
                __global const float* w = weights + ((dy + HALF_HEIGHT_CEIL) * FILTER_WIDTH + dx + HALF_WIDTH_CEIL) * INPUT_CHANNELS_1 * OUTPUT_CHANNELS;
                for (int c = 0; c < INPUT_CHANNELS_1; ++c) {
                    const float v = in[c];
                    #pragma unroll
                    for (int g = 0; g < OUTPUT_CHANNELS / 16; ++g) acc[g] = fma((float16)(v), vload16(c * (OUTPUT_CHANNELS / 16) + g, w), acc[g]);
                }
            }
        }
    } else {
        for (int dy = dyLow; dy <= dyHigh; ++dy) {
            for (int dx = dxLow; dx <= dxHigh; ++dx) {
                __global const float* in = data + ((cx + dx * DILATION_RATE) + (cy + dy * DILATION_RATE) * SOURCE_IMAGE_1_WIDTH) * INPUT_CHANNELS_1;
                __global const float* w = weights + ((dy + HALF_HEIGHT_CEIL) * FILTER_WIDTH + dx + HALF_WIDTH_CEIL) * INPUT_CHANNELS_1 * OUTPUT_CHANNELS;
                for (int c = 0; c < INPUT_CHANNELS_1; ++c) {
                    const float v = in[c];
                    for (int g = 0; g < OUTPUT_CHANNELS / 16; ++g) acc[g] = fma((float16)(v), vload16(c * (OUTPUT_CHANNELS / 16) + g, w), acc[g]);
                }
            }
        }
    }
    for (int g = 0; g < OUTPUT_CHANNELS / 16; ++g) {
        float16 r = acc[g];
        float values[16];
        vstore16(r, 0, values);
        for (int k = 0; k < 16; ++k) values[k] = ACTIVATION(values[k]);
        vstore16(vload16(0, values), g, out);
    }
#else
    float acc[OUTPUT_CHANNELS];
    for (int o = 0; o < OUTPUT_CHANNELS; ++o) acc[o] = biases[o];
    for (int dy = dyLow; dy <= dyHigh; ++dy) {
        for (int dx = dxLow; dx <= dxHigh; ++dx) {
            __global const float* in = data + ((cx + dx * DILATION_RATE) + (cy + dy * DILATION_RATE) * SOURCE_IMAGE_1_WIDTH) * INPUT_CHANNELS_1;
            __global const float* w = weights + ((dy + HALF_HEIGHT_CEIL) * FILTER_WIDTH + dx + HALF_WIDTH_CEIL) * INPUT_CHANNELS_1 * OUTPUT_CHANNELS;
            for (int c = 0; c < INPUT_CHANNELS_1; ++c) {
                const float v = in[c];
                for (int o = 0; o < OUTPUT_CHANNELS; ++o) acc[o] = fma(v, w[c * OUTPUT_CHANNELS + o], acc[o]);
            }
        }
    }
    for (int o = 0; o < OUTPUT_CHANNELS; ++o) out[o] = ACTIVATION(acc[o]);
#endif
}
