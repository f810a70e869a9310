// Maximum of one channel over the whole image; one work item per channel.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth, int imageHeight)
{
    const int c = get_global_id(0);
    float result = data[c];
    for (int p = 1; p < SOURCE_IMAGE_1_WIDTH * SOURCE_IMAGE_1_HEIGHT; ++p) result = fmax(result, data[p * INPUT_CHANNELS_1 + c]);
    destination[c] = result;
}
