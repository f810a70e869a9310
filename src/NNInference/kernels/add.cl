// Element-wise sum; the second input's channels repeat across the first's when it
// has fewer.
__kernel void KERNEL_NAME(__global const float* data1, __global const float* data2, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int pixel = get_global_id(0) + get_global_id(1) * imageWidth;
    __global const float* a = data1 + pixel * OUTPUT_CHANNELS;
    __global const float* b = data2 + pixel * INPUT_CHANNELS_2;
    __global float* out = destination + pixel * OUTPUT_CHANNELS;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) out[c] = a[c] + b[c % INPUT_CHANNELS_2];
}
