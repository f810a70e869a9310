// Nearest-neighbour 2x enlargement.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    __global const float* in = data + (x / 2 + (y / 2) * SOURCE_IMAGE_1_WIDTH) * OUTPUT_CHANNELS;
    __global float* out = destination + (x + y * imageWidth) * OUTPUT_CHANNELS;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) out[c] = in[c];
}
