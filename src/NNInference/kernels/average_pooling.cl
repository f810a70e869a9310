// 2 x 2 average pooling with step 2.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    __global const float* a = data + (2 * x + 2 * y * SOURCE_IMAGE_1_WIDTH) * OUTPUT_CHANNELS;
    __global const float* b = a + SOURCE_IMAGE_1_WIDTH * OUTPUT_CHANNELS;
    __global float* out = destination + (x + y * imageWidth) * OUTPUT_CHANNELS;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c)
        out[c] = (a[c] + a[c + OUTPUT_CHANNELS] + b[c] + b[c + OUTPUT_CHANNELS]) * 0.25f;
}
