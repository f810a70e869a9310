// Repeats the input over a larger shape in all three axes.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    __global const float* in = data + (x % SOURCE_IMAGE_1_WIDTH + (y % SOURCE_IMAGE_1_HEIGHT) * SOURCE_IMAGE_1_WIDTH) * INPUT_CHANNELS_1;
    __global float* out = destination + (x + y * imageWidth) * OUTPUT_CHANNELS;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) out[c] = in[c % INPUT_CHANNELS_1];
}
