// Axis transpose. TRANSPOSE_MODE 1 swaps width and channels; 1000 swaps
// height and channels.
__kernel void KERNEL_NAME(__global const float* data1, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    __global float* out = destination + (x + y * imageWidth) * OUTPUT_CHANNELS;
    for (int ch = 0; ch < OUTPUT_CHANNELS; ++ch) {
#if TRANSPOSE_MODE == 1
        out[ch] = data1[(ch + y * SOURCE_IMAGE_1_WIDTH) * INPUT_CHANNELS_1 + x];
#else
        out[ch] = data1[(x + ch * SOURCE_IMAGE_1_WIDTH) * INPUT_CHANNELS_1 + y];
#endif
    }
}
