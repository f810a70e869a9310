// a * x + b over the first inputChannels values of each pixel.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth, float a, float b)
{
    const int base = (get_global_id(0) + get_global_id(1) * imageWidth) * inputChannels;
    for (int c = 0; c < inputChannels; ++c) destination[base + c] = a * data[base + c] + b;
}
