// Matrix product: row y of the first input (its channels) times the second
// input read as an INPUT_CHANNELS_1 x INPUT_CHANNELS_2 matrix.
__kernel void KERNEL_NAME(__global const float* data1, __global const float* data2, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int x = get_global_id(0);
    const int y = get_global_id(1);
    __global const float* row = data1 + (x + y * SOURCE_IMAGE_1_WIDTH) * INPUT_CHANNELS_1;
    __global float* out = destination + (x + y * imageWidth) * OUTPUT_CHANNELS;
    for (int ch = 0; ch < OUTPUT_CHANNELS; ++ch) {
        float sum = 0.0f;
        for (int m = 0; m < INPUT_CHANNELS_1; ++m) sum = fma(row[m], data2[m * INPUT_CHANNELS_2 + ch], sum);
        out[ch] = sum;
    }
}
