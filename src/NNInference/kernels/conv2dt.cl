// Convolution with zero padding by clipped taps. The weights buffer holds the
// filter as (row, column, input channel, output channel), output channel
// innermost, so that all output channels of one tap are contiguous. With a
// multiple of 4 output channels one work item computes four neighbouring
// pixels, the channels as vectors of 16, 8 or 4, and the grid's width is the
// output width divided by 4, rounded up. The vector macros are undefined at
// the end: several layers' kernels share one program.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          __global const float* weights, __global const float* biases,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    const int cy = y * STRIDES+(STRIDES/2);
    int dyLow = -HALF_HEIGHT_CEIL;
    int dyHigh = HALF_HEIGHT_FLOOR;
    if (cy + dyLow * DILATION_RATE < 0) dyLow = -cy / DILATION_RATE;
    if (cy + dyHigh * DILATION_RATE >= SOURCE_IMAGE_1_HEIGHT) dyHigh = (SOURCE_IMAGE_1_HEIGHT - cy - 1) / DILATION_RATE;

#if (OUTPUT_CHANNELS % 16) == 0
#define CONV_VW 16
#define CONV_VEC float16
#define CONV_VLOAD vload16
#define CONV_VSTORE vstore16
#elif (OUTPUT_CHANNELS % 8) == 0
#define CONV_VW 8
#define CONV_VEC float8
#define CONV_VLOAD vload8
#define CONV_VSTORE vstore8
#elif (OUTPUT_CHANNELS % 4) == 0
#define CONV_VW 4
#define CONV_VEC float4
#define CONV_VLOAD vload4
#define CONV_VSTORE vstore4
#endif

#ifdef CONV_VW
    // Four neighbouring output pixels per work item (x is the block index),
    // all output channels as vectors; blocks whose taps all lie inside the
    // source skip the clipping.
    const int x0 = x * 4;
    CONV_VEC acc[4][OUTPUT_CHANNELS / CONV_VW];
    for (int g = 0; g < OUTPUT_CHANNELS / CONV_VW; ++g) {
        const CONV_VEC b = CONV_VLOAD(g, biases);
        acc[0][g] = b; acc[1][g] = b; acc[2][g] = b; acc[3][g] = b;
    }
    const int cx0 = x0 * STRIDES+(STRIDES/2);
    const bool blockInterior = x0 + 3 < imageWidth &&
                               cx0 - HALF_WIDTH_CEIL * DILATION_RATE >= 0 &&
                               cx0 + 3 * STRIDES + HALF_WIDTH_FLOOR * DILATION_RATE < SOURCE_IMAGE_1_WIDTH &&
                               dyLow == -HALF_HEIGHT_CEIL && dyHigh == HALF_HEIGHT_FLOOR;
    if (blockInterior) {
        #pragma unroll
        for (int dy = -HALF_HEIGHT_CEIL; dy <= HALF_HEIGHT_FLOOR; ++dy) {
            #pragma unroll
            for (int dx = -HALF_WIDTH_CEIL; dx <= HALF_WIDTH_FLOOR; ++dx) {
                __global const float* in = data + ((cx0 + dx * DILATION_RATE) + (cy + dy * DILATION_RATE) * SOURCE_IMAGE_1_WIDTH) * INPUT_CHANNELS_1;
                __global const float* w = weights + ((dy + HALF_HEIGHT_CEIL) * FILTER_WIDTH + dx + HALF_WIDTH_CEIL) * INPUT_CHANNELS_1 * OUTPUT_CHANNELS;
                for (int c = 0; c < INPUT_CHANNELS_1; ++c) {
                    const float v0 = in[c];
                    const float v1 = in[c + STRIDES * INPUT_CHANNELS_1];
                    const float v2 = in[c + 2 * STRIDES * INPUT_CHANNELS_1];
                    const float v3 = in[c + 3 * STRIDES * INPUT_CHANNELS_1];
                    #pragma unroll
                    for (int g = 0; g < OUTPUT_CHANNELS / CONV_VW; ++g) {
                        const CONV_VEC wv = CONV_VLOAD(c * (OUTPUT_CHANNELS / CONV_VW) + g, w);
                        acc[0][g] = fma((CONV_VEC)(v0), wv, acc[0][g]);
                        acc[1][g] = fma((CONV_VEC)(v1), wv, acc[1][g]);
                        acc[2][g] = fma((CONV_VEC)(v2), wv, acc[2][g]);
                        acc[3][g] = fma((CONV_VEC)(v3), wv, acc[3][g]);
                    }
                }
            }
        }
    } else {
        for (int p = 0; p < 4 && x0 + p < imageWidth; ++p) {
            const int px = cx0 + p * STRIDES;
            int lowX = -HALF_WIDTH_CEIL;
            int highX = HALF_WIDTH_FLOOR;
            if (px + lowX * DILATION_RATE < 0) lowX = -px / DILATION_RATE;
            if (px + highX * DILATION_RATE >= SOURCE_IMAGE_1_WIDTH) highX = (SOURCE_IMAGE_1_WIDTH - px - 1) / DILATION_RATE;
            for (int dy = dyLow; dy <= dyHigh; ++dy) {
                for (int dx = lowX; dx <= highX; ++dx) {
                    __global const float* in = data + ((px + dx * DILATION_RATE) + (cy + dy * DILATION_RATE) * SOURCE_IMAGE_1_WIDTH) * INPUT_CHANNELS_1;
                    __global const float* w = weights + ((dy + HALF_HEIGHT_CEIL) * FILTER_WIDTH + dx + HALF_WIDTH_CEIL) * INPUT_CHANNELS_1 * OUTPUT_CHANNELS;
                    for (int c = 0; c < INPUT_CHANNELS_1; ++c) {
                        const float v = in[c];
                        for (int g = 0; g < OUTPUT_CHANNELS / CONV_VW; ++g)
                            acc[p][g] = fma((CONV_VEC)(v), CONV_VLOAD(c * (OUTPUT_CHANNELS / CONV_VW) + g, w), acc[p][g]);
                    }
                }
            }
        }
    }
    for (int p = 0; p < 4 && x0 + p < imageWidth; ++p) {
        __global float* outPixel = destination + (x0 + p + y * imageWidth) * OUTPUT_CHANNELS;
        for (int g = 0; g < OUTPUT_CHANNELS / CONV_VW; ++g) {
            float values[CONV_VW];
            CONV_VSTORE(acc[p][g], 0, values);
            for (int k = 0; k < CONV_VW; ++k) values[k] = ACTIVATION(values[k]);
            CONV_VSTORE(CONV_VLOAD(0, values), g, outPixel);
        }
    }
#else
    const int cx = x * STRIDES+(STRIDES/2);
    int dxLow = -HALF_WIDTH_CEIL;
    int dxHigh = HALF_WIDTH_FLOOR;
    if (cx + dxLow * DILATION_RATE < 0) dxLow = -cx / DILATION_RATE;
    if (cx + dxHigh * DILATION_RATE >= SOURCE_IMAGE_1_WIDTH) dxHigh = (SOURCE_IMAGE_1_WIDTH - cx - 1) / DILATION_RATE;
    __global float* out = destination + (x + y * imageWidth) * OUTPUT_CHANNELS;
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
#undef CONV_VW
#undef CONV_VEC
#undef CONV_VLOAD
#undef CONV_VSTORE
