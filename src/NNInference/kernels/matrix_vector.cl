// Per pixel and channel: PLUS adds, MULTIPLY multiplies, MINUS subtracts the
// channel's entry of biases.
__kernel void KERNEL_NAME(__global const float* data, __global float* destination,
                          __global const float* biases, int imageWidth)
{
    const int base = (get_global_id(0) + get_global_id(1) * imageWidth) * OUTPUT_CHANNELS;
    for (int c = 0; c < OUTPUT_CHANNELS; ++c) {
#if defined(PLUS)
        destination[base + c] = data[base + c] + biases[c];
#elif defined(MULTIPLY)
        destination[base + c] = data[base + c] * biases[c];
#else
        destination[base + c] = data[base + c] - biases[c];
#endif
    }
}
