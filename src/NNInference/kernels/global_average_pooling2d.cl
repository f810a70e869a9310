// Mean of one channel over the whole image; one work item per channel.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth, int imageHeight)
{
    const int c = get_global_id(0);
    float sum = 0.0f;
    for (int p = 0; p < SOURCE_IMAGE_1_WIDTH * SOURCE_IMAGE_1_HEIGHT; ++p) sum += data[p * INPUT_CHANNELS_1 + c];
    destination[c] = sum / SOURCE_IMAGE_1_HEIGHT / SOURCE_IMAGE_1_WIDTH;
}
