// 1 x 1 convolution; samples (x * STRIDES, y * STRIDES) without a centring
// offset. Weights as (input channel, output channel), output innermost.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          __global const float* weights, __global const float* biases,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    __global const float* in = data + (x * STRIDES + y * STRIDES * SOURCE_IMAGE_1_WIDTH) * INPUT_CHANNELS_1;
    __global float* out = destination + (x + y * imageWidth) * OUTPUT_CHANNELS;
#if (OUTPUT_CHANNELS % 16) == 0
    float16 acc[OUTPUT_CHANNELS / 16];
    for (int g = 0; g < OUTPUT_CHANNELS / 16; ++g) acc[g] = vload16(g, biases);
    for (int c = 0; c < INPUT_CHANNELS_1; ++c) {
        const float v = in[c];
        #pragma unroll
        for (int g = 0; g < OUTPUT_CHANNELS / 16; ++g) acc[g] = fma((float16)(v), vload16(c * (OUTPUT_CHANNELS / 16) + g, weights), acc[g]);
    }
    for (int g = 0; g < OUTPUT_CHANNELS / 16; ++g) {
        float values[16];
        vstore16(acc[g], 0, values);
        for (int k = 0; k < 16; ++k) values[k] = ACTIVATION(values[k]);
        vstore16(vload16(0, values), g, out);
    }
#else
    float acc[OUTPUT_CHANNELS];
    for (int o = 0; o < OUTPUT_CHANNELS; ++o) acc[o] = biases[o];
    for (int c = 0; c < INPUT_CHANNELS_1; ++c) {
        const float v = in[c];
        for (int o = 0; o < OUTPUT_CHANNELS; ++o) acc[o] = fma(v, weights[c * OUTPUT_CHANNELS + o], acc[o]);
    }
    for (int o = 0; o < OUTPUT_CHANNELS; ++o) out[o] = ACTIVATION(acc[o]);
#endif
}
