// Leaky ReLU with slope 0.1, element-wise; may run in place.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          int inputChannels, int outputChannels, int imageWidth)
{
    const int base = (get_global_id(0) + get_global_id(1) * imageWidth) * OUTPUT_CHANNELS;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) {
        const float x = data[base + c];
        destination[base + c] = x >= 0.0f ? x : 0.1f * x;
    }
}
