// Takes outputChannels consecutive channels from startChannel on.
__kernel void KERNEL_NAME(__global const float* sourceData, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth, int startChannel)
{
    const int pixel = get_global_id(0) + get_global_id(1) * imageWidth;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c)
        destination[pixel * OUTPUT_CHANNELS + c] = sourceData[pixel * INPUT_CHANNELS_1 + startChannel + c];
}
