// Copies the pixel's values; a reshape reinterprets the same element order.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int base = (get_global_id(0) + get_global_id(1) * imageWidth) * OUTPUT_CHANNELS;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) destination[base + c] = data[base + c];
}
