// Channel concatenation of three inputs.
__kernel void KERNEL_NAME(__global const float* data1, __global const float* data2, __global const float* data3,
                          __global float* destination, int inputChannels, int outputChannels, int imageWidth)
{
    const int pixel = get_global_id(0) + get_global_id(1) * imageWidth;
    __global float* out = destination + pixel * OUTPUT_CHANNELS;
    for (int c = 0; c < INPUT_CHANNELS_1; ++c) out[c] = data1[pixel * INPUT_CHANNELS_1 + c];
    for (int c = 0; c < INPUT_CHANNELS_2; ++c) out[INPUT_CHANNELS_1 + c] = data2[pixel * INPUT_CHANNELS_2 + c];
    for (int c = 0; c < INPUT_CHANNELS_3; ++c)
        out[INPUT_CHANNELS_1 + INPUT_CHANNELS_2 + c] = data3[pixel * INPUT_CHANNELS_3 + c];
}
